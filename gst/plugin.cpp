// The plugin module GStreamer loads from its plugin path.
#include "gst/norvikcamsrc.h"

#define PACKAGE "norvikcam"

#ifndef NORVIKCAM_VERSION
#define NORVIKCAM_VERSION "0.4"
#endif

GST_PLUGIN_DEFINE(GST_VERSION_MAJOR, GST_VERSION_MINOR, norvikcam,
                  "The Norvik 2560x1920 raw-Bayer USB camera as a live source",
                  gst_norvikcam_src_register, NORVIKCAM_VERSION, "unknown", "norvikcam",
                  "norvikcam")
