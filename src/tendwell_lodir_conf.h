// A naming-service service or instance name given in place of the
// configuration path, turned into that instance's configuration file.
#pragma once

#include <functional>
#include <string>

#include "lodir/lodir_reverse_query.pb.h"

namespace tendwell {

// Fills its argument with the naming service's instances of this machine;
// 0 on success, else a naming-lookup result code.
using LodirLocalQuery = std::function<int(lodir::ReverseQueryOutput&)>;

// When name is a service name (service.group.idc) or an instance name (its
// first part all digits) of exactly one instance on this machine with a
// deploy path, replaces it by that path followed by "/conf/tendwell.conf".
// Anything else leaves name unchanged. query defaults to asking the naming
// service through a LodirReverseQueryClient.
void GetConfPathFromLodirName(std::string& name, const LodirLocalQuery& query = nullptr);

}  // namespace tendwell
