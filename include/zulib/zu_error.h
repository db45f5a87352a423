// zulib error facility: a per-thread error number indexing a fixed table of texts, and a
// per-thread free-form text shown for error number 1.
#pragma once

constexpr int ZU_ERR_SUCCESS = 0;
constexpr int ZU_ERR_DETAIL = 1;  // see the thread's error text
constexpr int ZU_ERR_ALLOC = 2;
constexpr int ZU_ERR_SEGMENT = 3;
constexpr int ZU_ERR_READ = 4;
constexpr int ZU_ERR_WRITE = 5;
constexpr int ZU_ERR_HANDLE = 6;
constexpr int ZU_ERR_CONNECT = 7;
constexpr int ZU_ERR_PARAM = 8;
constexpr int ZU_ERR_OPEN = 9;

// The calling thread's error number; 0 when its storage cannot be had.
int zu_geterrno();
// 0, or -1 when the storage cannot be had.
int zu_seterrno(int err);
// The table text of err ("INVALID ERRNO" outside the table); for ZU_ERR_DETAIL the calling
// thread's error text.
const char* zu_geterrstr(int err);
// Formats the calling thread's error text (clipped to 1023 characters); 0 or -1.
int zu_seterrtext(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
