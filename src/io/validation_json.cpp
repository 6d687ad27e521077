#include "io/validation_json.hpp"

#include "io/record_members.hpp"

using nlohmann::json;

namespace velk::io {

json validationToJson(const ValidationRecord& record) {
    return recordToJson(record);
}

ValidationRecord validationFromJson(const json& object) {
    return recordFromJson<ValidationRecord>(object, "validation");
}

}  // namespace velk::io
