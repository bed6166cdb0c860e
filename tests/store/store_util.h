// Shared pieces of the settings-store tests: scratch files and a list that
// releases itself.
#ifndef KORVANE_STORE_UTIL_H
#define KORVANE_STORE_UTIL_H

#include "setuid.h"

#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace store {

using Entries = std::vector<std::pair<std::string, std::string>>;

// A fresh path in the test's scratch directory (the old file removed).
inline std::string scratch(const std::string &name)
{
    std::string path = std::string(KORVANE_SCRATCH) + "/" + name;
    unlink(path.c_str());
    return path;
}

inline void write_text(const std::string &path, const std::string &text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

inline std::string read_text(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// A list from initkeyvalues, released (entries and head) when it goes.
struct List {
    keyvalue *head = initkeyvalues();
    List() = default;
    List(const List &) = delete;
    List &operator=(const List &) = delete;
    ~List()
    {
        freekeyvalues(head);
        free(head);
    }
    operator keyvalue *() const { return head; }

    Entries entries() const
    {
        Entries all;
        for (keyvalue *e = head->next; e; e = e->next)
            all.emplace_back(e->key, e->value);
        return all;
    }
    void add(const Entries &entries)
    {
        for (const auto &e : entries)
            appendkeyvalue(head, e.first.c_str(), e.second.c_str());
    }
};

// The entries that reading `text` as a settings file gives, and the result.
inline std::pair<int, Entries> read_file_text(const std::string &text)
{
    std::string path = scratch("read.settings");
    write_text(path, text);
    List list;
    int result = readkeyvalues(list, path.c_str());
    return {result, list.entries()};
}

} // namespace store

#endif
