#pragma once

#include <cmath>
#include <optional>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

#include "io/json_values.hpp"

namespace velk::io {

// The records list their JSON members once, in a function `members(Record&, visit)` that calls
// visit(key, field) for each; the writer and the reader below walk the same list, so the two cannot
// drift apart. A list marked kOmittedWhenEmpty is left out of the file when it is empty; an optional
// member is left out when it is absent, or written as null when marked kNullWhenAbsent. A member that
// is itself such a record (IsMemberRecord) is written and read through its own list.
enum class MemberWhenEmpty { Written, Omitted, Null };
constexpr MemberWhenEmpty kOmittedWhenEmpty = MemberWhenEmpty::Omitted;
constexpr MemberWhenEmpty kNullWhenAbsent = MemberWhenEmpty::Null;

// Specialised to true for the records that list their members.
template <typename T>
struct IsMemberRecord : std::false_type {};

template <typename T>
struct IsOptional : std::false_type {};
template <typename T>
struct IsOptional<std::optional<T>> : std::true_type {};

template <typename T>
struct IsRecordList : std::false_type {};
template <typename T>
struct IsRecordList<std::vector<T>> : IsMemberRecord<T> {};

template <typename Record>
nlohmann::json recordToJson(const Record& record);
template <typename Record>
Record recordFromJson(const nlohmann::json& object, const std::string& what);

namespace member_json {

// Numbers are written as they are, NaN and infinities as null (what JSON can hold).
inline nlohmann::json toJson(double value) {
    return std::isfinite(value) ? nlohmann::json(value) : nlohmann::json();
}
inline nlohmann::json toJson(const std::vector<double>& values) {
    nlohmann::json list = nlohmann::json::array();
    for (double value : values) {
        list.push_back(toJson(value));
    }
    return list;
}
inline nlohmann::json toJson(const std::vector<std::vector<double>>& rows) {
    nlohmann::json list = nlohmann::json::array();
    for (const std::vector<double>& row : rows) {
        list.push_back(toJson(row));
    }
    return list;
}
inline nlohmann::json toJson(const std::vector<cv::Mat>& matrices) {
    return matrixListToJson(matrices);
}
inline nlohmann::json toJson(const cv::Mat& matrix) {
    return matrixToJson(matrix);
}
template <typename T>
nlohmann::json toJson(const T& value) {
    if constexpr (IsMemberRecord<T>::value) {
        return recordToJson(value);
    } else if constexpr (IsRecordList<T>::value) {
        nlohmann::json list = nlohmann::json::array();
        for (const auto& element : value) {
            list.push_back(recordToJson(element));
        }
        return list;
    } else {
        return nlohmann::json(value);
    }
}

// A list of numbers in which null stands for NaN.
inline void fromJson(const nlohmann::json& value, std::vector<double>& numbers) {
    if (!value.is_array()) {
        throw std::runtime_error("must be a list");
    }
    numbers.clear();
    for (const nlohmann::json& element : value) {
        numbers.push_back(element.is_null() ? std::nan("") : element.get<double>());
    }
}
inline void fromJson(const nlohmann::json& value, std::vector<std::vector<double>>& rows) {
    if (!value.is_array()) {
        throw std::runtime_error("must be a list");
    }
    rows.clear();
    for (const nlohmann::json& element : value) {
        fromJson(element, rows.emplace_back());
    }
}
inline void fromJson(const nlohmann::json& value, std::vector<cv::Mat>& matrices) {
    matrices = matrixListFromJson(value);
}
inline void fromJson(const nlohmann::json& value, cv::Mat& matrix) {
    matrix = matrixFromJson(value);
}
template <typename T>
void fromJson(const nlohmann::json& value, T& field) {
    if constexpr (IsMemberRecord<T>::value) {
        field = recordFromJson<T>(value, "record");
    } else if constexpr (IsRecordList<T>::value) {
        if (!value.is_array()) {
            throw std::runtime_error("must be a list");
        }
        field.clear();
        for (const nlohmann::json& element : value) {
            field.push_back(recordFromJson<typename T::value_type>(element, "record"));
        }
    } else {
        field = value.get<T>();
    }
}

}  // namespace member_json

// Writes every member a record lists into a JSON object.
class MemberWriter {
public:
    explicit MemberWriter(nlohmann::json& object) : object_(object) {}

    template <typename T>
    void operator()(const char* key, const T& field, MemberWhenEmpty whenEmpty = MemberWhenEmpty::Written) {
        if constexpr (IsOptional<T>::value) {
            if (field) {
                object_[key] = member_json::toJson(*field);
            } else if (whenEmpty == MemberWhenEmpty::Null) {
                object_[key] = nullptr;
            }
        } else {
            if constexpr (!std::is_arithmetic_v<T>) {
                if (whenEmpty == MemberWhenEmpty::Omitted && field.empty()) {
                    return;
                }
            }
            object_[key] = member_json::toJson(field);
        }
    }

private:
    nlohmann::json& object_;
};

// Reads every member a record lists that the object holds (and is not null); a member that cannot be read
// is refused naming it, prefixed by `what` ("io: validation member held_out_rms_px must be a list").
class MemberReader {
public:
    MemberReader(const nlohmann::json& object, std::string what) : object_(object), what_(std::move(what)) {}

    template <typename T>
    void operator()(const char* key, T& field, MemberWhenEmpty = MemberWhenEmpty::Written) const {
        if (!hasValue(object_, key)) {
            return;
        }
        try {
            if constexpr (IsOptional<T>::value) {
                typename T::value_type value{};
                member_json::fromJson(object_.at(key), value);
                field = std::move(value);
            } else {
                member_json::fromJson(object_.at(key), field);
            }
        } catch (const std::runtime_error& error) {
            throw std::runtime_error("io: " + what_ + " member " + key + " " + error.what());
        }
    }

private:
    const nlohmann::json& object_;
    std::string what_;
};

// The JSON object of a record, through its member list.
template <typename Record>
nlohmann::json recordToJson(const Record& record) {
    nlohmann::json object = nlohmann::json::object();
    MemberWriter write(object);
    // The member lists take the record to read or fill; the writer only reads it.
    members(const_cast<Record&>(record), write);
    return object;
}

// A record from its JSON object; `what` names it in errors ("validation").
template <typename Record>
Record recordFromJson(const nlohmann::json& object, const std::string& what) {
    if (!object.is_object()) {
        throw std::runtime_error("io: the " + what + " must be an object");
    }
    Record record;
    MemberReader read(object, what);
    members(record, read);
    return record;
}

}  // namespace velk::io
