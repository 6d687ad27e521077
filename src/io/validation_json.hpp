#pragma once

#include <nlohmann/json.hpp>

#include "io/result_records.hpp"

namespace velk::io {

// The "validation" member of a hand-eye result record; NaN figures are written as null.
nlohmann::json validationToJson(const ValidationRecord& record);
// Members that are missing or null take their defaults.
ValidationRecord validationFromJson(const nlohmann::json& object);

}  // namespace velk::io
