// Decoding of the naming service's JSON reply into the reply message.
#pragma once

#include <string>

#include "lodir/lodir_reverse_query.pb.h"

namespace lodir {

// Decodes body into out (cleared by the caller), naming host_name as the host
// when the reply is good. 0; -2 when the body is not JSON or a member has the
// wrong shape; -5 when "retCode" is not the integer 0, logged with the tag's
// line refusal_line. Never raises.
int DecodeReverseQueryReply(const std::string& body, const std::string& host_name,
                            int refusal_line, ReverseQueryOutput& out);

}  // namespace lodir
