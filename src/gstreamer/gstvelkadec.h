// velkadec: decodes a whole Velk audio file from upstream into S16LE PCM
// through the decoder module, the host library acting as its broker.
#ifndef ORV_GSTREAMER_GSTVELKADEC_H
#define ORV_GSTREAMER_GSTVELKADEC_H

#include <gst/audio/audio.h>
#include <gst/base/gstadapter.h>
#include <gst/gst.h>

#include <cstdint>

#include "host/velk_host.h"

G_BEGIN_DECLS

#define GST_TYPE_VELKA_DEC (gst_velka_dec_get_type())
#define GST_VELKA_DEC(obj) \
  (G_TYPE_CHECK_INSTANCE_CAST((obj), GST_TYPE_VELKA_DEC, GstVelkaDec))

struct GstVelkaDec {
  GstElement parent;
  GstPad* sinkpad;
  GstPad* srcpad;  // added once the first buffer or the end is pushed

  // Properties: object lock.
  gchar* plugin_path;
  gboolean unpositioned;

  // Set at open and read by queries: object lock.
  gboolean have_info;
  GstAudioInfo info;
  uint64_t total_frames;     // the header's sample count
  uint64_t duration_frames;  // what queries answer: less for a cut file
  gboolean seekable;
  GstSegment segment;  // position kept up to date while streaming

  // Streaming state: the streaming thread, or a seek holding the stream
  // lock while the task is stopped.
  gboolean pull_mode;
  VelkHost* host;
  VelkHostStream* stream;
  gboolean failed;
  uint64_t decoded_frame;  // file frame of the next frame the stream delivers
  uint64_t next_frame;     // file frame of the next frame to push
  uint64_t stop_frame;     // no frame at or past this one is pushed
  gboolean need_segment;
  gboolean discont;
  guint32 seek_seqnum;
  gboolean sent_tags;
  uint32_t nominal_bit_rate;

  // Pull mode: the read position and the last failed pull.
  uint64_t offset;
  GstFlowReturn read_flow;

  // Push mode: the input from file offset adapter_base on; the stream has
  // read up to push_position.
  GstAdapter* adapter;
  uint64_t adapter_base;
  uint64_t push_position;
  gboolean upstream_eos;
};

struct GstVelkaDecClass {
  GstElementClass parent_class;
};

GType gst_velka_dec_get_type(void);

G_END_DECLS

#endif
