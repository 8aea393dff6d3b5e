/*
 * rtsp_source - a test RTSP camera for the demo and the tests.
 *
 *   rtsp_source PORT CLIP [PATH]
 *
 * PORT 0 takes any free port; the line below names the one bound.
 * Serves CLIP, a raw H.264 elementary stream (Annex B, as `ffmpeg -f h264`
 * writes it), at rtsp://127.0.0.1:PORT/PATH (PATH defaults to "cam"; every
 * path below /cam... serves the same clip, so /cam0../cam7 give eight
 * cameras).  The clip plays in an endless loop at its own frame rate and is
 * never decoded or re-encoded: the parser only cuts access units and stamps
 * them, so serving eight cameras costs next to nothing.  Only the loopback
 * address is bound.  Prints "rtsp_source: serving rtsp://..." once the server
 * listens; runs until SIGINT or SIGTERM.
 *
 * Each client gets its own pipeline (the factory is not shared), so a client
 * that joins late still starts at a key frame with the parameter sets sent in
 * front of it (config-interval=-1).
 */
#include <glib-unix.h>
#include <gst/gst.h>
#include <gst/rtsp-server/rtsp-server.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

/* The clip has no timestamps of its own, and the parser gives none to an
 * endless byte stream, so each access unit is stamped here on its way to the
 * payloader: one frame period after the one before, counting on through
 * every restart of the file.  The stream's times therefore rise steadily
 * across loops, and the server's sinks send each frame at its time. */
typedef struct Stamper {
  guint64 frames;
  GstClockTime period;
} Stamper;

static GstPadProbeReturn StampAccessUnit(GstPad* pad, GstPadProbeInfo* info, gpointer data) {
  (void)pad;
  Stamper* stamper = (Stamper*)data;
  GstBuffer* buffer = gst_buffer_make_writable(GST_PAD_PROBE_INFO_BUFFER(info));
  GST_BUFFER_PTS(buffer) = stamper->frames * stamper->period;
  GST_BUFFER_DTS(buffer) = GST_BUFFER_PTS(buffer);
  GST_BUFFER_DURATION(buffer) = stamper->period;
  ++stamper->frames;
  GST_PAD_PROBE_INFO_DATA(info) = buffer;
  return GST_PAD_PROBE_OK;
}

static void ConfigureMedia(GstRTSPMediaFactory* factory, GstRTSPMedia* media, gpointer data) {
  (void)factory;
  GstElement* bin = gst_rtsp_media_get_element(media);
  GstElement* parse = gst_bin_get_by_name(GST_BIN(bin), "parse");
  if (parse != NULL) {
    Stamper* stamper = g_new0(Stamper, 1);
    stamper->period = GPOINTER_TO_UINT(data);
    GstPad* pad = gst_element_get_static_pad(parse, "src");
    gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_BUFFER, StampAccessUnit, stamper, g_free);
    gst_object_unref(pad);
    gst_object_unref(parse);
  }
  gst_object_unref(bin);
}

static gboolean Quit(gpointer loop) {
  g_main_loop_quit((GMainLoop*)loop);
  return G_SOURCE_REMOVE;
}

/* The pipeline that serves the clip, as gst-launch text. */
static gchar* LaunchLine(const char* clip) {
  gchar* location = g_strescape(clip, NULL);
  gchar* launch = g_strdup_printf(
      "( multifilesrc location=\"%s\" loop=true "
      "caps=\"video/x-h264,stream-format=byte-stream,framerate=25/1\" "
      "! h264parse name=parse ! video/x-h264,stream-format=byte-stream,alignment=au "
      "! rtph264pay name=pay0 pt=96 config-interval=-1 )",
      location);
  g_free(location);
  return launch;
}

/* A factory of one pipeline per client, stamped at 25 frames a second. */
static GstRTSPMediaFactory* NewFactory(const gchar* launch) {
  GstRTSPMediaFactory* factory = gst_rtsp_media_factory_new();
  gst_rtsp_media_factory_set_launch(factory, launch);
  gst_rtsp_media_factory_set_shared(factory, FALSE);
  g_signal_connect(factory, "media-configure", G_CALLBACK(ConfigureMedia),
                   GUINT_TO_POINTER((guint)(GST_SECOND / 25)));
  /* RTP over the RTSP connection only: nothing leaves the loopback
   * connection the client opened. */
  gst_rtsp_media_factory_set_protocols(factory, GST_RTSP_LOWER_TRANS_TCP);
  return factory;
}

/* Mounts the factory at /PATH and /PATH0 .. /PATH15; returns "/PATH". */
static gchar* MountFactory(GstRTSPServer* server, GstRTSPMediaFactory* factory, const char* path) {
  GstRTSPMountPoints* mounts = gst_rtsp_server_get_mount_points(server);
  gchar* mount = g_strdup_printf("/%s", path);
  gst_rtsp_mount_points_add_factory(mounts, mount, factory);
  for (int i = 0; i < 16; ++i) { /* /cam0 .. /cam15 for many cameras */
    gchar* numbered = g_strdup_printf("/%s%d", path, i);
    g_object_ref(factory);
    gst_rtsp_mount_points_add_factory(mounts, numbered, factory);
    g_free(numbered);
  }
  g_object_unref(mounts);
  return mount;
}

int main(int argc, char** argv) {
  gst_init(&argc, &argv);
  if (argc < 3 || argc > 4) {
    fprintf(stderr, "Usage: %s PORT CLIP.h264 [PATH]\n", argv[0]);
    return 2;
  }
  const long port = strtol(argv[1], NULL, 10);
  if (port < 0 || port > 65535) {
    fprintf(stderr, "rtsp_source: bad port '%s'\n", argv[1]);
    return 2;
  }
  if (access(argv[2], R_OK) != 0) {
    fprintf(stderr, "rtsp_source: cannot read clip '%s'\n", argv[2]);
    return 1;
  }
  const char* path = argc == 4 ? argv[3] : "cam";
  gchar* launch = LaunchLine(argv[2]);

  GMainLoop* loop = g_main_loop_new(NULL, FALSE);
  GstRTSPServer* server = gst_rtsp_server_new();
  gst_rtsp_server_set_address(server, "127.0.0.1");
  gchar* service = g_strdup_printf("%ld", port);
  gst_rtsp_server_set_service(server, service);
  g_free(service);
  gchar* mount = MountFactory(server, NewFactory(launch), path);

  if (gst_rtsp_server_attach(server, NULL) == 0) {
    fprintf(stderr, "rtsp_source: cannot listen on 127.0.0.1:%ld\n", port);
    return 1;
  }
  g_unix_signal_add(SIGINT, Quit, loop);
  g_unix_signal_add(SIGTERM, Quit, loop);
  printf("rtsp_source: serving rtsp://127.0.0.1:%d%s (%s)\n", gst_rtsp_server_get_bound_port(server), mount,
         argv[2]);
  fflush(stdout);
  g_main_loop_run(loop);

  g_free(mount);
  g_free(launch);
  g_object_unref(server);
  g_main_loop_unref(loop);
  return 0;
}
