#pragma once

#include <nlohmann/json.hpp>

#include "io/result_records.hpp"

namespace velk::io {

// The "refinement" member of a result record.
nlohmann::json refinementToJson(const RefinementRecord& record);
// Members that are missing take their defaults.
RefinementRecord refinementFromJson(const nlohmann::json& object);

}  // namespace velk::io
