// Checked stream and directory calls.
#include "zu_syserr.h"
#include "zulib/zu_syscall.h"

FILE* zu_fopen(const char* path, const char* mode) {
    FILE* fp = fopen(path, mode);
    if (!fp) ZU_SYSWARN("fopen(\"%s\", \"%s\") failed.error[%d] info is '%s'.", path, mode);
    return fp;
}

int zu_fclose(FILE* stream) {
    if (fclose(stream) == 0) return 0;
    ZU_SYSWARN("fclose() call was failed.error[%d] info is '%s'.");
    return -1;
}

FILE* zu_fdopen(int fd, const char* mode) {
    FILE* fp = fdopen(fd, mode);
    if (!fp) ZU_SYSWARN("fdopen(%d,%s) call was failed.error[%d] info is '%s'.", fd, mode);
    return fp;
}

FILE* zu_freopen(const char* path, const char* mode, FILE* stream) {
    FILE* fp = freopen(path, mode, stream);
    if (!fp) ZU_SYSWARN("freopen(%s,%s) call failed.error[%d] info is '%s'.", path, mode);
    return fp;
}

char* zu_fgets(char* buf, int size, FILE* stream) {
    char* ret = fgets(buf, size, stream);
    if (!ret && ferror(stream)) ZU_SYSWARN("fgets(%d) call failed.error[%d] info is '%s'.", size);
    return ret;
}

int zu_fputs(const char* text, FILE* stream) {
    if (!text) {
        zu_writelog(ZU_LOG_WARNING, "Parameter 'ptr' was NULL.");
        return -1;
    }
    int ret = fputs(text, stream);
    if (ret == EOF) ZU_SYSWARN("fputs(len=%zu) call failed.error[%d] info is '%s'.", strlen(text));
    return ret;
}

int zu_fseek(FILE* stream, long offset, int whence) {
    int ret = fseek(stream, offset, whence);
    if (ret == -1) ZU_SYSWARN("fseek(%ld,%d) call failed.error[%d] info is '%s'.", offset, whence);
    return ret;
}

long zu_ftell(FILE* stream) {
    long ret = ftell(stream);
    if (ret == -1) ZU_SYSWARN("ftell() call failed.error[%d] info is '%s'.");
    return ret;
}

int zu_fgetpos(FILE* stream, fpos_t* pos) {
    int ret = fgetpos(stream, pos);
    if (ret == -1) ZU_SYSWARN("fgetpos() call failed.error[%d] info is '%s'.");
    return ret;
}

int zu_fsetpos(FILE* stream, const fpos_t* pos) {
    int ret = fsetpos(stream, pos);
    if (ret == -1) ZU_SYSWARN("fsetpos call failed.error[%d] info is '%s'.");
    return ret;
}

void zu_rewind(FILE* stream) { rewind(stream); }

int zu_remove(const char* path) {
    int ret = remove(path);
    if (ret == -1) ZU_SYSWARN("remove(%s) call failed.error[%d] info is '%s'.", path);
    return ret;
}

int zu_rename(const char* oldpath, const char* newpath) {
    if (!oldpath || !oldpath[0] || !newpath || !newpath[0]) return -1;
    int ret = rename(oldpath, newpath);
    if (ret == -1) ZU_SYSWARN("rename(%s,%s) call failed.error[%d] info is '%s'.", oldpath, newpath);
    return ret;
}

FILE* zu_tmpfile() {
    FILE* fp = tmpfile();
    if (!fp) ZU_SYSWARN("tmpfile() call failed.error[%d] info is '%s'.");
    return fp;
}

FILE* zu_popen(const char* command, const char* mode) {
    if (!command || !command[0] || !mode || !mode[0]) return nullptr;
    FILE* fp = popen(command, mode);
    if (!fp) ZU_SYSWARN("popen(%s,%s) call failed.error[%d] info is '%s'.", command, mode);
    return fp;
}

int zu_pclose(FILE* stream) {
    if (!stream) return -1;
    int ret = pclose(stream);
    if (ret == -1) ZU_SYSWARN("pclose() call failed.error[%d] info is '%s'.");
    return ret;
}

DIR* zu_opendir(const char* path) {
    DIR* dir = opendir(path);
    if (!dir) ZU_SYSWARN("opendir(%s) call failed.error[%d] info is '%s'.", path);
    return dir;
}

struct dirent* zu_readdir(DIR* dir) {
    struct dirent* entry = readdir(dir);
    if (!entry) ZU_SYSWARN("readdir() call failed.error[%d] info is '%s'.");
    return entry;
}

int zu_closedir(DIR* dir) {
    int ret = dir ? closedir(dir) : -1;
    if (ret == -1) ZU_SYSWARN("closedir() call failed.error[%d] info is '%s'.");
    return ret;
}
