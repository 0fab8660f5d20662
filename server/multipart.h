// multipart/form-data request bodies, read in place: the fields point into the body, so a chunk of
// several MiB is never copied.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct FormField {
    std::string name;
    std::string_view value;  // into the request body
};

// The boundary of a multipart/form-data content type, quoted or not; nothing for any other type
// or a boundary that the format does not allow.
std::optional<std::string> form_boundary(std::string_view content_type);

// Splits a multipart/form-data body into its fields, in their order. Empty text on success, else
// what is wrong. Refused: a missing or malformed boundary line, a part without a form-data
// Content-Disposition naming it, a field given twice, a field without its closing boundary, more
// than 64 fields, part headers over 8 KiB.
std::string parse_form_data(std::string_view body, const std::string& boundary, std::vector<FormField>& fields);

// The field of that name; null when there is none.
const FormField* find_field(const std::vector<FormField>& fields, std::string_view name);
