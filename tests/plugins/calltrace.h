// What a test plugin saw on its last entry-point call, and what it is to
// do on the next. Every test plugin exports one as `plugintrace`.
#ifndef TESTS_PLUGINS_CALLTRACE_H
#define TESTS_PLUGINS_CALLTRACE_H

struct calltrace
{
    int result;             // returned by the next entry point called
    bool throwit;           // the next entry point throws instead
    int calls;              // entry-point calls so far
    const char *last;       // name of the entry point called last
    const void *args[6];    // its pointer and reference arguments, in order
    bool flag;              // its bool argument
};

#endif
