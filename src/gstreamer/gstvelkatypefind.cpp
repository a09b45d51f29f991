// The audio/x-velka type finder: the file magic, and a header whose fields
// a real file could have.
#include <gst/gst.h>

#include "format/file_header.h"
#include "gstvelkaelements.h"

namespace {

void velka_type_find(GstTypeFind* find, gpointer) {
  namespace format = orv::vlkdec;
  const guint8* h = gst_type_find_peek(find, 0, format::file_header_bytes);
  if (h == nullptr || !format::has_file_magic(h, format::file_header_bytes)) {
    return;
  }
  const auto header = format::parse_file_header(h, format::file_header_bytes);
  if (!header || header->channels == 0 ||
      header->channels > format::max_channels || header->sample_rate == 0 ||
      header->max_block_size < format::block_frame_header_bytes ||
      header->file_size < format::file_header_bytes) {
    // The magic alone: likely enough to try, and to be refused clearly.
    gst_type_find_suggest_empty_simple(find, GST_TYPE_FIND_POSSIBLE,
                                       "audio/x-velka");
    return;
  }
  gst_type_find_suggest_empty_simple(find, GST_TYPE_FIND_MAXIMUM,
                                     "audio/x-velka");
}

gboolean register_velka_type_find(GstPlugin* plugin) {
  GstCaps* caps = gst_caps_new_empty_simple("audio/x-velka");
  const gboolean registered = gst_type_find_register(
      plugin, "audio/x-velka", GST_RANK_PRIMARY, velka_type_find, "velka,VELKA",
      caps, nullptr, nullptr);
  gst_caps_unref(caps);
  return registered;
}

}  // namespace

GST_TYPE_FIND_REGISTER_DEFINE_CUSTOM(velka, register_velka_type_find);
