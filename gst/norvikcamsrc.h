// The norvikcamsrc element's type, and its registration in a plugin.
#pragma once

#include <gst/base/gstpushsrc.h>
#include <gst/gst.h>

G_BEGIN_DECLS

#define GST_TYPE_NORVIKCAM_SRC (gst_norvikcam_src_get_type())
G_DECLARE_FINAL_TYPE(GstNorvikcamSrc, gst_norvikcam_src, GST, NORVIKCAM_SRC, GstPushSrc)

// Registers the element in `plugin` (the plugin module, or a program that
// registers it statically).
gboolean gst_norvikcam_src_register(GstPlugin* plugin);

G_END_DECLS
