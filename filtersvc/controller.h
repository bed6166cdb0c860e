// The two forms that every content-filter service controller is built from.
// A controller's own source names only its table row: for the restart form
// the enable flag file and the init script's stop and start lines, for the
// single-command form its one command line. Both routines raise the process
// to root first and return the controller's exit status; they never look at
// the program's arguments or environment.
#ifndef KORVANE_FILTERSVC_CONTROLLER_H
#define KORVANE_FILTERSVC_CONTROLLER_H

// Restart form: runs `stop` always and waits for it; then, only when
// `flagfile` opens read-only (the service is enabled), runs `start`.
// Exits 1 at once when the privilege initialisation fails; otherwise
// returns 0 whatever the commands did.
int restartservice(const char *flagfile, const char *stop, const char *start);

// Single-command form: runs `command` once and waits for it. Exits 1 at once
// when the privilege initialisation fails; otherwise returns 0 whatever the
// command did.
int runcommand(const char *command);

#endif
