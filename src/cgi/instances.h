// instances.h: a bound on how many CGI processes of one user serve at once. A web server that
// starts a process per request (lighttpd's mod_cgi has no limit of its own) would otherwise let
// a burst of requests hold as many processes, and as much memory, as it has connections.
#ifndef VELTO_CGI_INSTANCES_H
#define VELTO_CGI_INSTANCES_H

// The most slots VELTO_MAX_INSTANCES may ask for; a larger or unreadable value means no bound.
inline constexpr int MAX_INSTANCE_SLOTS = 4096;

// With VELTO_MAX_INSTANCES=N (1 to MAX_INSTANCE_SLOTS) in the environment, waits until this
// process holds one of N slots shared by every process of the same effective user, and returns
// holding it; the slot is released when the process ends, however it ends. Processes started
// with another N use other slots. There is no time
// limit here: the web server's own timeout ends a process that waited too long. Without the
// variable, or where slots cannot be made (not Linux), returns at once.
void hold_instance_slot();

#endif  // VELTO_CGI_INSTANCES_H
