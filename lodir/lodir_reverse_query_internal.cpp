#include "lodir_reverse_query_internal.h"

#include <stdint.h>
#include <string.h>

#include <memory>

#include <json/json.h>

#include "lodir/lodir_log.h"
#include "lodir/lodir_reverse_query.h"
#include "lodir/lodir_util.h"

namespace lodir {

namespace {

using google::protobuf::FieldDescriptor;

// Reply keys in the order they are read, with the field each one fills; the
// field's type decides whether the key is read as a string or an integer.
struct KeyField {
    const char* key;
    const char* field;
};

const KeyField kInstanceKeys[] = {
    {"serviceName", "service_name"},
    {"offset", "offset"},
    {"instanceName", "instance_name"},
    {"deployPath", "deploy_path"},
    {"checkScript", "check_script"},
    {"checkAccout", "check_account"},
    {"mail", "mailer"},
    {"mobile", "phoner"},
    {"healthCheckType", "health_check_type"},
    {"noNeedUaCheck", "no_need_ua_check"},
    {"port", "port"},
    {"status", "status"},
    {"tag", "tags"},
    {"extra", "extra"},
    {"interventionalStatus", "interventional"},
    {"multiPort", "multi_port"},
};

// The member key of value, or null; value must be an object or null, the
// only values jsoncpp looks members up in without raising.
const Json::Value* Member(const Json::Value& value, const char* key) {
    return value.find(key, key + strlen(key));
}

// A string, null (empty) or boolean member as text; false for any other type.
bool ReadString(const Json::Value* member, std::string* text) {
    if (member == nullptr || member->isNull()) {
        text->clear();
    } else if (member->isString()) {
        *text = member->asString();
    } else if (member->isBool()) {
        *text = member->asBool() ? "true" : "false";
    } else {
        return false;
    }
    return true;
}

// A null (0), boolean, or 32-bit number member as an integer, a fraction cut
// toward zero; false for any other type or a number out of range.
bool ReadInt(const Json::Value* member, int32_t* number) {
    if (member == nullptr || member->isNull()) {
        *number = 0;
    } else if (member->isBool()) {
        *number = member->asBool() ? 1 : 0;
    } else if (member->type() == Json::realValue) {
        double real = member->asDouble();
        if (!(real >= INT32_MIN && real <= INT32_MAX)) {
            return false;
        }
        *number = static_cast<int32_t>(real);
    } else if (member->isInt()) {  // an integer value within range
        *number = member->asInt();
    } else {
        return false;
    }
    return true;
}

bool FillInstance(const Json::Value& element, ExpectInstanceInfo* info) {
    const google::protobuf::Descriptor* descriptor = info->GetDescriptor();
    const google::protobuf::Reflection* reflection = info->GetReflection();
    for (const KeyField& entry : kInstanceKeys) {
        const FieldDescriptor* field = descriptor->FindFieldByName(entry.field);
        const Json::Value* member = Member(element, entry.key);
        if (field->cpp_type() == FieldDescriptor::CPPTYPE_STRING) {
            std::string text;
            if (!ReadString(member, &text)) {
                return false;
            }
            reflection->SetString(info, field, text);
        } else {
            int32_t number = 0;
            if (!ReadInt(member, &number)) {
                return false;
            }
            reflection->SetInt32(info, field, number);
        }
    }
    return true;
}

bool IsZeroInteger(const Json::Value* member) {
    if (member == nullptr) {
        return false;
    }
    return (member->type() == Json::intValue && member->asLargestInt() == 0) ||
           (member->type() == Json::uintValue && member->asLargestUInt() == 0);
}

// The refusal's text, fit for the log.
std::string MessageText(const Json::Value& root) {
    const Json::Value* msg = Member(root, "msg");
    return msg != nullptr && msg->isString() ? EscapeControlBytes(msg->asString()) : std::string();
}

// Parses body with comments allowed and text after the value ignored.
bool Parse(const std::string& body, Json::Value* root) {
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    std::string errors;
    try {
        return reader->parse(body.data(), body.data() + body.size(), root, &errors);
    } catch (const Json::Exception&) {
        return false;  // nested deeper than the reader's stack limit
    }
}

}  // namespace

int DecodeReverseQueryReply(const std::string& body, const std::string& host_name,
                            int refusal_line, ReverseQueryOutput& out) {
    Json::Value root;
    if (!Parse(body, &root) || !(root.isObject() || root.isNull())) {
        return kLodirDecodeFail;
    }
    if (!IsZeroInteger(Member(root, "retCode"))) {
        LODIR_LOG(PLUME_LOG_WARNING,
                  "[lodir_reverse_query_internal:%d][GetLodirInstancesByHostname]error msg:%s",
                  refusal_line, MessageText(root).c_str());
        return kLodirRefused;
    }
    out.set_host_name(host_name);
    const Json::Value* data = Member(root, "data");
    if (data == nullptr || !data->isArray()) {
        // Only an object with members has instances in the wrong shape.
        bool has_members = data != nullptr && data->isObject() && !data->empty();
        return has_members ? kLodirDecodeFail : kLodirSuccess;
    }
    for (const Json::Value& element : *data) {
        if (!(element.isObject() || element.isNull())) {
            return kLodirDecodeFail;
        }
        if (!FillInstance(element, out.add_instance())) {
            return kLodirDecodeFail;
        }
    }
    return kLodirSuccess;
}

}  // namespace lodir
