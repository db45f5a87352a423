// 64-bit signatures of registry keys and their bucket hash.
#pragma once

#include <stdint.h>

namespace plumespace {

// Signature of the len bytes of text (len must be the text's length).
void x_creat_sign_f64(const char* text, int len, uint32_t* low, uint32_t* high);
uint64_t sign_f64(const char* text);
// Bucket hash of a signature: low word + high word.
uint32_t nkeyhash(uint64_t sign);

}  // namespace plumespace
