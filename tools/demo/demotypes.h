// The demonstration host's own versions of the proxy's types: the loaders
// pass them by reference only, so any definition will do.
#ifndef KORVANE_DEMOTYPES_H
#define KORVANE_DEMOTYPES_H

#include <string>

class Options {
public:
    std::string name;
};

class imevent {
public:
    std::string from, text;
};

#endif
