#include "tendwell_lodir_conf.h"

#include <ctype.h>

#include <algorithm>

#include "lodir/lodir_reverse_query.h"
#include "lodir/lodir_util.h"
#include "tendwell_utility.h"

namespace tendwell {

namespace {

const char kTag[] = "GetConfPathFromLodirName";
const char kConfFileSuffix[] = "/conf/tendwell.conf";

// tolower and isdigit take a byte as unsigned char: a negative char is undefined.
std::string Lower(const std::string& text) {
    std::string lower(text);
    for (char& c : lower) {
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    }
    return lower;
}

bool IsDigit(char c) {
    return isdigit(static_cast<unsigned char>(c)) != 0;
}

// A deploy path that holds a control byte names no file the rule could make (a NUL
// would cut it short) and would write raw bytes to the log: it counts as none.
bool HasDeployPath(const lodir::ExpectInstanceInfo& info) {
    return !info.deploy_path().empty() && !lodir::HasControlBytes(info.deploy_path());
}

int AskNamingService(lodir::ReverseQueryOutput& out) {
    lodir::LodirReverseQueryClient client;
    return client.GetLocalHostLodirInstances(out);
}

}  // namespace

void GetConfPathFromLodirName(std::string& name, const LodirLocalQuery& query) {
    const long dots = std::count(name.begin(), name.end(), '.');
    if (name.find('/') != std::string::npos || dots < 2 || dots > 4) {
        TW_DEBUG(kTag, "%s is not a legal lodir name.", name.c_str());
        return;
    }
    const auto first_part_end = name.begin() + static_cast<long>(name.find('.'));
    const bool instance = std::all_of(name.begin(), first_part_end, IsDigit);

    lodir::ReverseQueryOutput local;
    int ret = query ? query(local) : AskNamingService(local);
    if (ret != 0) {
        TW_WARNING(kTag, "get local lodir fail, ret:%d for %s", ret, name.c_str());
        return;
    }
    const std::string key = Lower(name);
    if (!instance) {
        int count = 0;
        for (const lodir::ExpectInstanceInfo& info : local.instance()) {
            count += Lower(info.service_name()) == key ? 1 : 0;
        }
        if (count != 1) {
            TW_NOTICE(kTag, "%s have count:%d in this machine.", key.c_str(), count);
            return;
        }
    }
    for (const lodir::ExpectInstanceInfo& info : local.instance()) {
        const std::string cmp = Lower(instance ? info.instance_name() : info.service_name());
        if (cmp == key && HasDeployPath(info)) {
            name = info.deploy_path() + kConfFileSuffix;
            TW_NOTICE(kTag, "get %s from lodir:%s", name.c_str(), key.c_str());
            return;
        }
        TW_DEBUG(kTag, "cmp_str:%s service:%s deploy:%s", lodir::EscapeControlBytes(cmp).c_str(),
                 key.c_str(), lodir::EscapeControlBytes(info.deploy_path()).c_str());
    }
    TW_NOTICE(kTag, "%s is not a legal lodir name,cann't find in lodir.", name.c_str());
}

}  // namespace tendwell
