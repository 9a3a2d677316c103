#include <gtest/gtest.h>

#include "service/FormFields.h"

namespace wk {
namespace {

TEST(FormFieldsTest, ValuesAreFormDecoded) {
    const auto fields = FormFields::Parse(
        "lang=german&a=gsl2&sourceid1=",
        "lang=german&country=49&a=dofp&timestampstart=07/11/2003  10:08:00.000"
        "&timestampend=07/11/2003  10:32:00.000&srcname=Radio+One%2B2&srctype=1");
    EXPECT_EQ(fields.Get("a"), "dofp");  // the body wins over the query
    EXPECT_EQ(fields.Get("timestampstart"), "07/11/2003  10:08:00.000");
    EXPECT_EQ(fields.Get("srcname"), "Radio One+2");
    EXPECT_TRUE(fields.Has("sourceid1"));
    EXPECT_EQ(fields.Get("sourceid1"), "");
    EXPECT_FALSE(fields.Has("missing"));
}

TEST(FormFieldsTest, FileContentTakesTheRestOfTheBodyDecoded) {
    const auto fields = FormFields::Parse(
        "", "a=uploadfp&login=me&fileContent=%23%200.9\r\nx&y=z%2f%zz%4");
    EXPECT_EQ(fields.Get("login"), "me");
    EXPECT_EQ(fields.Get("fileContent"), "# 0.9\r\nx&y=z/%zz%4");
    EXPECT_FALSE(fields.Has("y"));
}

}  // namespace
}  // namespace wk
