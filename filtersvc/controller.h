// The two forms that every content-filter service controller is built from.
// A controller's own source names only its table row: for the restart form
// the enable flag file and the init script's stop and start lines, for the
// single-command form its one command line. Both routines raise the process
// to root first, then take the lock of the service their script acts on
// (one action per service at a time: every program that runs one init
// script, or one maintenance script, shares it), and return the
// controller's exit status, which says whether the action happened (0, the
// failing script's exit code, 128 plus the signal that ended it, or 1 when
// it could not be run); they never look at the program's arguments or
// environment.
#ifndef KORVANE_FILTERSVC_CONTROLLER_H
#define KORVANE_FILTERSVC_CONTROLLER_H

// Restart form: runs `stop` always and waits for it; then, only when
// `flagfile` opens read-only (the service is enabled), runs `start`.
// Exits 1 at once when the privilege initialisation fails or the lock
// cannot be taken, 75 when another action on the service outlasts the
// wait; otherwise returns the start's status (commandstatus) when it ran,
// else the stop's.
int restartservice(const char *flagfile, const char *stop, const char *start);

// Single-command form: runs `command` once and waits for it. Exits as the
// restart form does when it cannot become root or take the lock; otherwise
// returns the command's status (commandstatus).
int runcommand(const char *command);

#endif
