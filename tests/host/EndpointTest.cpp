// Where the service listens and clients look: the unix path of an address, escapes included.
#include <gtest/gtest.h>
#include <stdlib.h>

#include "gxhost/Endpoint.h"

namespace {

struct AddressRow {
    const char* address;
    bool ok;
    const char* path;  // when ok
};

const AddressRow kAddresses[] = {
    {"unix:path=/run/x.sock", true, "/run/x.sock"},
    {"unix:path=/run/x.sock,guid=0123", true, "/run/x.sock"},  // further keys are ignored
    {"unix:path=/a%20b", true, "/a b"},
    {"unix:path=/a%2cb,guid=1", true, "/a,b"},  // an escaped comma is part of the path
    {"unix:path=/a%2C%2F", true, "/a,/"},       // either case, escapes back to back
    {"unix:path=%2f", true, "/"},               // an escape alone
    {"unix:path=/a%4", false, ""},              // one hex digit short at the end
    {"unix:path=/a%", false, ""},
    {"unix:path=/a%zz", false, ""},
    {"unix:path=/a%4g", false, ""},  // the second digit is not hex
    {"unix:path=/a%-1", false, ""},  // a sign is no digit
    {"unix:path=", false, ""},
    {"unix:path=,guid=1", false, ""},
    {"unix:abstract=x", false, ""},
    {"tcp:host=localhost,port=1", false, ""},
    {"Unix:path=/x", false, ""},
    {"unix:path", false, ""},
};

TEST(Endpoint, UnixPathOfAddress) {
    for (const AddressRow& row : kAddresses) {
        SCOPED_TRACE(row.address);
        std::string path = "unchanged";
        EXPECT_EQ(gxhost::UnixPathOfAddress(row.address, &path), row.ok);
        EXPECT_EQ(path, row.ok ? row.path : "unchanged");
    }
}

struct ClientRow {
    const char* option;  // nullptr: none
    const char* env;     // nullptr: unset
    const char* runtime;
    std::string expected;
};

TEST(Endpoint, ClientAddressPrefersOptionThenEnvironment) {
    std::string fallback = "unix:path=/tmp/gxemp-" + std::to_string(getuid()) + "/host.sock";
    const ClientRow kRows[] = {
        {"unix:path=/o", "unix:path=/e", "/r", "unix:path=/o"},
        {"", "unix:path=/e", "/r", "unix:path=/e"},
        {nullptr, "", "/r", "unix:path=/r/gxemp/host.sock"},
        {nullptr, nullptr, "relative", fallback},  // a runtime directory must be absolute
        {nullptr, nullptr, "", fallback},
    };
    for (const ClientRow& row : kRows) {
        SCOPED_TRACE(row.expected);
        if (row.env != nullptr)
            setenv("GXEMP_ADDRESS", row.env, 1);
        else
            unsetenv("GXEMP_ADDRESS");
        setenv("XDG_RUNTIME_DIR", row.runtime, 1);
        EXPECT_EQ(gxhost::ClientAddress(row.option), row.expected);
    }
}

}  // namespace
