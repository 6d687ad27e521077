#include "io/json_file_reader.hpp"

namespace velk::io {
namespace {

// What the value readers of json_values start their messages with.
const char* const kValueErrorPrefix = "io: ";

}  // namespace

JsonFileReader::JsonFileReader(std::string file, std::string prefix)
    : file_(std::move(file)), prefix_(std::move(prefix)) {}

nlohmann::json JsonFileReader::parseObject(const std::string& text) const {
    nlohmann::json document = guarded(std::string(), [&] { return nlohmann::json::parse(text); });
    if (!document.is_object()) {
        fail(std::string("the document is ") + document.type_name() + ", not a JSON object", std::string());
    }
    return document;
}

void JsonFileReader::fail(const std::string& reason, const std::string& where) const {
    const std::string place = where.empty() ? file_ : "'" + where + "' of " + file_;
    throw JsonFileError(prefix_ + reason + " in " + place);
}

std::string JsonFileReader::memberPath(const std::string& where, const std::string& key) {
    return where.empty() ? key : where + "." + key;
}

std::string jsonErrorReason(const std::exception& error) {
    const std::string text = error.what();
    if (dynamic_cast<const nlohmann::json::exception*>(&error) != nullptr && text.rfind("[json.exception.", 0) == 0) {
        const auto tagEnd = text.find("] ");
        if (tagEnd != std::string::npos) {
            return text.substr(tagEnd + 2);
        }
    }
    return text;
}

std::string JsonFileReader::reasonOf(const std::exception& error) const {
    const std::string text = jsonErrorReason(error);
    for (const std::string& known : {prefix_, std::string(kValueErrorPrefix)}) {
        if (text.rfind(known, 0) == 0) {
            return text.substr(known.size());
        }
    }
    return text;
}

}  // namespace velk::io
