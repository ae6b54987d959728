// What the library does not show whole: the fallback byte mix, the stored-id
// line rules and the ClientId kept from a long host hash.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "testkit/fake_host.h"
#include "identity/client_id.h"

TEST(TickAndPidMix, ReproducesTheWorkedExample) {
    unsigned char out[20];
    mix_tick_and_pid(0x12345678u, 0x00001234u, out);
    EXPECT_EQ(std::vector<int>(out, out + 4), (std::vector<int>{0x6A, 0x73, 0x7E, 0x49}));
    // The last byte: tick byte 3, pid byte 0 and 37 * 19 = 0x2BF cut to 8 bits.
    EXPECT_EQ(out[19], 0x12 ^ 0x34 ^ 0xBF);
}

TEST(StoredId, OnlyATrimmedFirstLineOf32To127HexDigitsCounts) {
    const std::string hex32 = "ABCDEF0123456789ABCDEF0123456789";
    const std::string hex40 = "0123456789abcdef0123456789abcdef01234567";
    const std::string hex127 = std::string(120, 'f') + "ABCDEF0";
    struct Case {
        std::string line, id;  // no id: not a valid stored id
    } cases[] = {
        {"  " + hex32 + " \r\n", hex32},  // case kept
        {"\t\v\f" + hex40 + "\t\n", hex40},
        {hex127, hex127},
        {hex127 + "0", hex127},  // longer text: its first 127 characters
        {hex32.substr(1), ""},   // 31 digits
        {hex40.substr(0, 20) + " " + hex40.substr(20), ""},
        {hex40 + "g", ""},
        {"\xEF\xBB\xBF" + hex40, ""},  // byte order mark
        {"0x" + hex40, ""},
        {hex40.substr(0, 39) + "\xE9", ""},
        {"", ""},
        {" \r\n", ""},
        {"\n" + hex40, ""},  // valid only on the second line
    };
    for (const Case& c : cases) {
        char out[128];
        std::memset(out, '#', sizeof out);
        EXPECT_EQ(parse_stored_id(c.line.c_str(), out) ? std::string(out) : "", c.id) << '"' << c.line << '"';
    }
}

TEST(EstablishClientId, KeepsTheFirst127CharactersOfALongHostHash) {
    FakeHost& host = FakeHost::get();
    host.reset();
    const std::string hash = "Fe12ab34" + std::string(192, 'c');
    host.set_users({{1, hash}});
    const HostApi api{host.table(), 1};
    const LogSink log;  // no window, no file
    char id[kClientIdField] = {};
    ASSERT_TRUE(establish_client_id(api, 7, 0, "", log, id));
    EXPECT_EQ(std::string(id), hash.substr(0, 127));
    EXPECT_EQ(host.outstanding(), 0u);
    EXPECT_EQ(host.bad_frees(), 0);
    host.reset();
}
