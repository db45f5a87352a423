// Names of levels by id: the five standard names and self-defined names at 32..63.
#pragma once

namespace plumespace {

constexpr int LEVEL_NAME_NUM = 64;
constexpr int LEVEL_NAME_SIZE = 1024;

// Id of name among the registered names, else 0.
int get_level_id(const char* name);
// Id of name, registering it when new; 0 when all 64 ids are taken.
int register_level_name(const char* name);
// Name of level (id & 63); empty for an unnamed level.
const char* level_name(int level);

}  // namespace plumespace
