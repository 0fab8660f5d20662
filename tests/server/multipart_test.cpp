// The multipart/form-data reader: well-formed bodies in the shapes clients send, and every way a
// body can be malformed.

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "server/multipart.h"

namespace {

const std::string B = "----ChunkBoundary0123abcd4567";

std::string field(const std::string& name, const std::string& value) {
    return "--" + B + "\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" + value + "\r\n";
}

std::string closing() { return "--" + B + "--\r\n"; }

using Fields = std::vector<std::pair<std::string, std::string>>;

Fields parsed(const std::string& body, std::string* error) {
    std::vector<FormField> fields;
    *error = parse_form_data(body, B, fields);
    Fields out;
    for (const auto& f : fields) out.emplace_back(f.name, std::string(f.value));
    return out;
}

TEST(Multipart, ReadsFieldsAsClientsWriteThem) {
    // Bytes that look like a boundary but do not follow CR LF, or lack the full delimiter.
    const std::string binary = std::string("\0\xff\r\n--", 6) + B.substr(0, 10) + "\r\n\r\n--" + "x" + B + "\r\n";
    const struct {
        const char* name;
        std::string body;
        Fields expected;
    } cases[] = {
        {"plain fields", field("a", "1") + field("b", "two") + closing(), {{"a", "1"}, {"b", "two"}}},
        {"binary value with look-alikes", field("chunk", binary) + closing(), {{"chunk", binary}}},
        {"empty value", field("disk_name", "") + closing(), {{"disk_name", ""}}},
        {"preamble and epilogue ignored", "preamble\r\n" + field("a", "1") + closing() + "epilogue",
         {{"a", "1"}}},
        {"file part with its own headers",
         "--" + B + "\r\ncontent-disposition: FORM-DATA; filename=\"chunk0001\"; name=chunk\r\n"
                    "Content-Type: application/octet-stream\r\n\r\nDATA\r\n" + closing(),
         {{"chunk", "DATA"}}},
        {"quoted name with an escaped quote",
         "--" + B + "\r\nContent-Disposition: form-data; name=\"a\\\"b\"\r\n\r\nv\r\n" + closing(), {{"a\"b", "v"}}},
        {"padding after a boundary line", "--" + B + " \t\r\nContent-Disposition: form-data; name=a\r\n\r\n1\r\n" +
                                              closing(),
         {{"a", "1"}}},
        {"no fields at all", closing(), {}},
    };
    for (const auto& c : cases) {
        std::string error;
        const Fields fields = parsed(c.body, &error);
        EXPECT_EQ(error, "") << c.name;
        EXPECT_EQ(fields, c.expected) << c.name;
    }
}

TEST(Multipart, RefusesMalformedBodies) {
    std::string many;
    for (int i = 0; i < 65; ++i) many += field("f" + std::to_string(i), "x");
    const struct {
        const char* name;
        std::string body;
        const char* error_part;
    } cases[] = {
        {"empty body", "", "no boundary line"},
        {"another boundary", "--other\r\n" + closing().substr(2), "no boundary line"},
        {"no closing boundary", field("a", "1"), "has no closing boundary"},
        {"closing line cut short", field("a", "1") + "--" + B.substr(0, 5), "has no closing boundary"},
        {"text after the delimiter", "--" + B + "x\r\n" + field("a", "1").substr(B.size() + 4) + closing(),
         "malformed boundary line"},
        {"no Content-Disposition", "--" + B + "\r\nContent-Type: text/plain\r\n\r\n1\r\n" + closing(),
         "without Content-Disposition"},
        {"no headers at all", "--" + B + "\r\n\r\n1\r\n" + closing(), "without Content-Disposition"},
        {"not form-data", "--" + B + "\r\nContent-Disposition: attachment; name=a\r\n\r\n1\r\n" + closing(),
         "not form-data"},
        {"no name", "--" + B + "\r\nContent-Disposition: form-data; filename=x\r\n\r\n1\r\n" + closing(),
         "malformed Content-Disposition"},
        {"unterminated quote", "--" + B + "\r\nContent-Disposition: form-data; name=\"a\r\n\r\n1\r\n" + closing(),
         "malformed Content-Disposition"},
        {"Content-Disposition twice",
         "--" + B + "\r\nContent-Disposition: form-data; name=a\r\nContent-Disposition: form-data; name=b\r\n\r\n1\r\n" +
             closing(),
         "malformed Content-Disposition"},
        {"header without a colon", "--" + B + "\r\nContent-Disposition form-data\r\n\r\n1\r\n" + closing(),
         "malformed part header"},
        {"headers never end", "--" + B + "\r\nX-Long: " + std::string(9000, 'h') + "\r\n\r\n1\r\n" + closing(),
         "malformed part headers"},
        {"field given twice", field("a", "1") + field("a", "2") + closing(), "given twice"},
        {"too many fields", many + closing(), "too many fields"},
    };
    for (const auto& c : cases) {
        std::string error;
        parsed(c.body, &error);
        EXPECT_NE(error.find(c.error_part), std::string::npos) << c.name << ": " << error;
    }
}

TEST(Multipart, FindsTheBoundaryOfAFormContentType) {
    const std::string longest(70, 'b');
    const struct {
        std::string content_type;
        std::optional<std::string> boundary;
    } cases[] = {
        {"multipart/form-data; boundary=" + B, B},
        {"multipart/form-data; boundary=\"" + B + "\"", B},
        {"Multipart/Form-Data ; charset=utf-8; BOUNDARY=abc", "abc"},
        {"multipart/form-data; boundary=\"a b:c=d?\"", "a b:c=d?"},
        {"multipart/form-data; boundary=" + longest, longest},
        {"multipart/form-data; boundary=" + longest + "b", std::nullopt},
        {"multipart/form-data; boundary=\"ab \"", std::nullopt},
        {"multipart/form-data; boundary=a@b", std::nullopt},
        {"multipart/form-data; boundary=", std::nullopt},
        {"multipart/form-data; boundary=a; boundary=b", std::nullopt},
        {"multipart/form-data; charset=utf-8", std::nullopt},
        {"multipart/form-data", std::nullopt},
        {"multipart/mixed; boundary=abc", std::nullopt},
        {"application/octet-stream", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(form_boundary(c.content_type), c.boundary) << c.content_type;
}

TEST(Multipart, FieldsPointIntoTheBodyAndAreFoundByName) {
    const std::string body = field("batch_id", "b1") + field("chunk", "bytes") + closing();
    std::vector<FormField> fields;
    ASSERT_EQ(parse_form_data(body, B, fields), "");
    const FormField* chunk = find_field(fields, "chunk");
    ASSERT_NE(chunk, nullptr);
    EXPECT_EQ(chunk->value, "bytes");
    EXPECT_GE(chunk->value.data(), body.data());
    EXPECT_LE(chunk->value.data() + chunk->value.size(), body.data() + body.size());
    EXPECT_EQ(find_field(fields, "Chunk"), nullptr);
    EXPECT_EQ(find_field(fields, "missing"), nullptr);
}

}  // namespace
