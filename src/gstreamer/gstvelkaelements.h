// What the plug-in registers: the type finder and the element, each defined
// beside its code and registered by plugin_init (gstvelka.cpp).
#ifndef ORV_GSTREAMER_GSTVELKAELEMENTS_H
#define ORV_GSTREAMER_GSTVELKAELEMENTS_H

#include <gst/gst.h>

GST_TYPE_FIND_REGISTER_DECLARE(velka);
GST_ELEMENT_REGISTER_DECLARE(velkadec);

#endif
