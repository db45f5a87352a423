#include "state_archive.h"

#include <ctype.h>

#include <charconv>

namespace tendwell {

namespace {

const char kSignature[] = "serialization::archive";
// Archives from this library version on carry an item version after a count.
constexpr unsigned int kFirstVersionWithItemVersion = 4;
// The longest number token: the sign and 19 digits of a 64-bit value.
constexpr size_t kMaxNumberLength = 20;

}  // namespace

std::string StateWriter::Write(const std::map<std::string, ProcessKeeper::Process>& table) {
    StateWriter out;
    // Room for typical records, so the text does not grow step by step.
    out.text_.reserve(64 + table.size() * 96);
    out.Put(std::string(kSignature));
    out.Number(kArchiveLibraryVersion);
    // The table's tracking and class version, its count and item version.
    out.Number(0);
    out.Number(0);
    out.Number(static_cast<long long>(table.size()));
    out.Number(0);
    bool first = true;
    for (const auto& item : table) {
        // Class preambles (tracking, class version) precede the first pair and
        // the first record only.
        if (first) {
            out.Number(0);
            out.Number(0);
        }
        out.Put(item.first);
        if (first) {
            out.Number(0);
            out.Number(ProcessKeeper::Process::kVersion);
        }
        // The one field list serves both directions, so it takes its record as
        // mutable; writing only reads it, and a copy would cost four strings.
        const_cast<ProcessKeeper::Process&>(item.second)
            .serialize(out, ProcessKeeper::Process::kVersion);
        first = false;
    }
    out.text_ += '\n';
    return out.text_;
}

void StateWriter::Put(const std::string& text) {
    Number(static_cast<long long>(text.size()));
    text_ += ' ';
    text_ += text;
}

void StateWriter::Put(bool value) { Number(value ? 1 : 0); }

void StateWriter::Number(long long value) {
    Separate();
    char digits[kMaxNumberLength];
    text_.append(digits, std::to_chars(digits, digits + sizeof(digits), value).ptr);
}

void StateWriter::Separate() {
    if (!text_.empty()) text_ += ' ';
}

StateReader::StateReader(FILE* file, uint64_t size) : file_(file), left_(size) {}

bool StateReader::Read(std::map<std::string, ProcessKeeper::Process>* table) {
    std::string signature;
    uint32_t library_version = 0;
    *this & signature & library_version;
    if (!ok_ || signature != kSignature || library_version > kArchiveLibraryVersion) return false;

    bool tracking = false;
    uint32_t class_version = 0;
    uint64_t count = 0;
    uint32_t item_version = 0;
    *this & tracking & class_version & count;
    if (library_version >= kFirstVersionWithItemVersion) *this & item_version;
    // Tracked objects would carry object ids, which this format never has.
    if (!ok_ || tracking) return false;

    table->clear();
    uint32_t record_version = 0;
    for (uint64_t i = 0; i < count; ++i) {
        if (i == 0) {
            *this & tracking & class_version;
            if (!ok_ || tracking) return false;
        }
        std::string key;
        *this & key;
        if (i == 0) {
            *this & tracking & record_version;
            if (!ok_ || tracking || record_version > ProcessKeeper::Process::kVersion) return false;
        }
        ProcessKeeper::Process record;
        record.serialize(*this, record_version);
        if (!ok_) return false;
        table->emplace(key, record);
    }
    return true;
}

bool StateReader::Get(std::string* text) {
    uint64_t size = 0;
    if (!Get(&size)) return false;
    // The blank after the length was taken with the length; the bytes follow.
    if (size > left_) return false;
    text->resize(size);
    if (size > 0 && fread(&(*text)[0], 1, size, file_) != size) return false;
    left_ -= size;
    return true;
}

bool StateReader::Get(bool* value) {
    std::string token;
    if (!Token(&token) || (token != "0" && token != "1")) return false;
    *value = token == "1";
    return true;
}

bool StateReader::Get(int32_t* value) { return Integer(value); }

bool StateReader::Get(uint32_t* value) { return Integer(value); }

bool StateReader::Get(int64_t* value) { return Integer(value); }

bool StateReader::Get(uint64_t* value) { return Integer(value); }

template <class T>
bool StateReader::Integer(T* value) {
    std::string token;
    if (!Token(&token)) return false;
    const char* end = token.data() + token.size();
    std::from_chars_result result = std::from_chars(token.data(), end, *value);
    return result.ec == std::errc() && result.ptr == end;
}

bool StateReader::Token(std::string* token) {
    int c = Next();
    while (c != EOF && isspace(c)) c = Next();
    // The blank that ends a token is taken with it.
    while (c != EOF && !isspace(c)) {
        if (token->size() == kMaxNumberLength) return false;
        token->push_back(static_cast<char>(c));
        c = Next();
    }
    return !token->empty();
}

int StateReader::Next() {
    if (left_ == 0) return EOF;
    int c = getc(file_);
    if (c != EOF) --left_;
    return c;
}

}  // namespace tendwell
