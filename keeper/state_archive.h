// The state file's text archive: blank-separated tokens, strings as their length,
// one blank and their bytes, read back by a parser that never allocates more than
// the file holds.
#pragma once

#include <stdint.h>
#include <stdio.h>

#include <map>
#include <string>
#include <type_traits>

#include "keeper/process_keeper.h"

namespace tendwell {

// Newest archive library version this file format is read and written with.
constexpr unsigned int kArchiveLibraryVersion = 10;

// Builds the archive text of a whole process table.
class StateWriter {
public:
    using is_loading = std::false_type;

    // The archive text of table, ended by a newline.
    static std::string Write(const std::map<std::string, ProcessKeeper::Process>& table);

    template <class T>
    StateWriter& operator&(T& value) {
        Put(value);
        return *this;
    }

private:
    void Put(const std::string& text);
    void Put(bool value);
    void Put(int32_t value) { Number(value); }
    void Put(uint32_t value) { Number(value); }
    void Put(int64_t value) { Number(value); }
    void Number(long long value);
    void Separate();

    std::string text_;
};

// Reads an archive written by StateWriter (or by Boost's text_oarchive of the same
// table with library version 10 or below).
class StateReader {
public:
    using is_loading = std::true_type;

    // file holds size bytes; nothing past them is read.
    StateReader(FILE* file, uint64_t size);

    // Checks the header, empties table and inserts each record as soon as it is
    // complete. False on any damage; the records read before it stay in table.
    bool Read(std::map<std::string, ProcessKeeper::Process>* table);

    template <class T>
    StateReader& operator&(T& value) {
        if (ok_) ok_ = Get(&value);
        return *this;
    }

private:
    bool Get(std::string* text);
    bool Get(bool* value);
    bool Get(int32_t* value);
    bool Get(uint32_t* value);
    bool Get(int64_t* value);
    bool Get(uint64_t* value);
    // A whole token holding a decimal number within T's range.
    template <class T>
    bool Integer(T* value);
    bool Token(std::string* token);
    int Next();

    FILE* file_;
    uint64_t left_;
    bool ok_ = true;
};

}  // namespace tendwell
