#pragma once

namespace glowtern {

// Routes SIGTERM, SIGINT and SIGHUP into a pipe whose read end the event loop
// watches, so a logout or kill runs the program's normal Exit path. The handler
// only writes one byte. Returns the read end, or -1 when no pipe could be made.
int InstallTerminationPipe();

}  // namespace glowtern
