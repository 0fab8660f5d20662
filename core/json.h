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

// The string value of a member looked up without regard to letter case, or null.
inline const char* json_string(const cJSON* object, const char* name) {
    const cJSON* item = cJSON_GetObjectItem(object, name);
    return cJSON_IsString(item) ? item->valuestring : nullptr;
}
