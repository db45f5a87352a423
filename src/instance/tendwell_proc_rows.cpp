#include "instance/tendwell_proc_rows.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

namespace tendwell {

bool ReadProcRows(const char* path, size_t count,
                  const std::function<void(const char* const* words)>& row) {
    FILE* table = fopen(path, "re");
    if (table == nullptr) return false;
    std::vector<const char*> words(count);
    char* line = nullptr;
    size_t size = 0;
    while (getline(&line, &size, table) > 0) {
        char* save = nullptr;
        char* word = strtok_r(line, " \n", &save);
        for (const char*& slot : words) {
            slot = word;
            if (word != nullptr) word = strtok_r(nullptr, " \n", &save);
        }
        row(words.data());
    }
    free(line);
    fclose(table);
    return true;
}

}  // namespace tendwell
