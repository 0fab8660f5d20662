// Owning handles for cJSON trees, so every tree is deleted by whoever created it.
#pragma once

#include <cjson/cJSON.h>

#include <memory>
#include <string>

struct JsonDeleter {
    void operator()(cJSON* item) const { cJSON_Delete(item); }
};
using JsonPtr = std::unique_ptr<cJSON, JsonDeleter>;

inline JsonPtr json_parse(const std::string& text) { return JsonPtr(cJSON_ParseWithOpts(text.c_str(), nullptr, true)); }

// Compact text of a tree; empty when it cannot be printed.
inline std::string json_print(const cJSON* item) {
    char* text = cJSON_PrintUnformatted(item);
    if (!text) return {};
    std::string out(text);
    cJSON_free(text);
    return out;
}

// Readers of received members. Every received member is looked up without regard to letter case
// (cJSON_GetObjectItem); a member of another type reads as absent.

// The member itself, or null (also when `object` is not an object).
inline const cJSON* json_item(const cJSON* object, const char* name) {
    return cJSON_IsObject(object) ? cJSON_GetObjectItem(object, name) : nullptr;
}

// The string value, or null.
inline const char* json_string(const cJSON* object, const char* name) {
    const cJSON* item = json_item(object, name);
    return cJSON_IsString(item) ? item->valuestring : nullptr;
}

// A number as an integer (cJSON's saturated valueint), or `fallback`.
inline int json_int(const cJSON* object, const char* name, int fallback) {
    const cJSON* item = json_item(object, name);
    return cJSON_IsNumber(item) ? item->valueint : fallback;
}

// A number, or `fallback`.
inline double json_number(const cJSON* object, const char* name, double fallback) {
    const cJSON* item = json_item(object, name);
    return cJSON_IsNumber(item) ? item->valuedouble : fallback;
}

// True only for a JSON true; `fallback` when the member is absent or not a boolean.
inline bool json_bool(const cJSON* object, const char* name, bool fallback) {
    const cJSON* item = json_item(object, name);
    return cJSON_IsBool(item) ? cJSON_IsTrue(item) : fallback;
}
