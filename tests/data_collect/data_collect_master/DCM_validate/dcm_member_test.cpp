// The answer checks' own member lookup must find exactly what cJSON's
// case-insensitive lookup finds, for every shape of object an agent can send.
#include <gtest/gtest.h>

#include "data_collect/data_collect_master/DCM_validate/dcm_validate.h"

namespace {

struct MemberCase {
    const char *json;
    const char *key;
};

TEST(DcmMember, FindsWhatCJsonFinds)
{
    const MemberCase cases[] = {
        {R"({"serial_number":"A"})", "serial_number"},
        {R"({"Serial_Number":"A"})", "serial_number"},   // case of the answer
        {R"({"serial_number":"A"})", "SERIAL_NUMBER"},   // case of the key
        {R"({"serial":"A","serial_number":"B"})", "serial_number"},  // a prefix is no match
        {R"({"serial_number_x":"A","serial_number":"B"})", "serial_number"},
        {R"({"wear":1,"WEAR":2})", "Wear"},              // the first of equal names
        {R"({"wear":1})", "power_on_hours"},             // missing
        {R"({"wear":1})", "wearx"},
        {R"({"":1,"a":2})", ""},                         // empty names
        {R"({"[x":1,"{x":2})", "{X"},                    // letters only fold: '[' is not '{'
        {R"({"\u00c9t":1})", "\u00e9t"},                 // no folding beyond ASCII
        {R"({})", "a"},
        {R"([1,2])", "a"},                               // an array has no names
        {R"(3)", "a"},
    };
    for (const MemberCase &c : cases) {
        cJSON *doc = cJSON_Parse(c.json);
        ASSERT_NE(doc, nullptr) << c.json;
        EXPECT_EQ(DcmMember(doc, c.key), cJSON_GetObjectItem(doc, c.key)) << c.json << " " << c.key;
        cJSON_Delete(doc);
    }
    EXPECT_EQ(DcmMember(nullptr, "a"), nullptr);
    cJSON *doc = cJSON_Parse(R"({"a":1})");
    EXPECT_EQ(DcmMember(doc, nullptr), nullptr);
    cJSON_Delete(doc);
}

}  // namespace
