// Host addresses and service ports by name.
#include <arpa/inet.h>
#include <string.h>

#include "zulib/zu_net.h"

int zu_gethostips(const char* host, void* addr8, int binary, char* text, int* list) {
    if (!host || !host[0]) return -1;
    struct hostent entry;
    struct hostent* found = nullptr;
    char buf[8192];
    int herr = 0;
    if (zu_gethostbyname_r(host, &entry, buf, sizeof(buf), &found, &herr) != 0 || !found->h_addr_list[0]) {
        h_errno = herr ? herr : HOST_NOT_FOUND;
        return -2;
    }
    const char* first = found->h_addr_list[0];
    if (binary) {
        memset(addr8, 0, 8);
        memcpy(static_cast<char*>(addr8) + 4, first, 4);
    } else {
        inet_ntop(found->h_addrtype, first, text, found->h_addrtype == AF_INET6 ? INET6_ADDRSTRLEN : INET_ADDRSTRLEN);
    }
    if (list) {
        list[0] = found->h_addrtype;
        for (int i = 0; i < 10 && found->h_addr_list[i]; ++i) memcpy(&list[1 + i], found->h_addr_list[i], 4);
    }
    return 0;
}

int zu_gethostip(const char* host, void* addr8, int binary, char* text) {
    return zu_gethostips(host, addr8, binary, text, nullptr);
}

int zu_getservport(const char* name, const char* proto, int* port) {
    if (!name || !name[0] || !proto || !proto[0]) return -1;
    struct servent entry;
    struct servent* found = nullptr;
    char buf[4096];
    if (zu_getservbyname_r(name, proto, &entry, buf, sizeof(buf), &found) != 0 || !found) return -1;
    if (port) *port = found->s_port;
    return found->s_port;
}
