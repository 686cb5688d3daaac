#pragma once
// FFmpeg writes its messages to standard error by default, which carries the
// status records for the parent service: route them into our logger instead.
namespace kvd {

// Installs the routing once per process; later calls do nothing.
void routeFfmpegLogging();

}  // namespace kvd
