// Stopping a program that serves until it is told to: Ctrl-C, a closed
// terminal or a request to terminate all ask it to stop and clean up.
#ifndef KEST_PLATFORM_STOP_REQUEST_H_
#define KEST_PLATFORM_STOP_REQUEST_H_

namespace kest::platform {

// From now on SIGINT, SIGTERM and SIGHUP count as a request to stop (the
// process goes on; StopRequested turns true). The second one ends the
// process at once with `exitStatus`, for a user whose program does not
// stop soon enough.
void InstallStopHandler(int exitStatus);

// True once a stop was asked for.
bool StopRequested();

}  // namespace kest::platform

#endif  // KEST_PLATFORM_STOP_REQUEST_H_
