// Pieces of the client identity that the library does not show whole: the
// fallback byte mix, the stored-id rules and the ClientId kept from a long
// host hash.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "fake_host.h"
#include "identity/client_id.h"
#include "platform/testing.h"
#include "plugin/state.h"

namespace pt = plat::testing;

TEST(TickAndPidMix, ReproducesTheWorkedExample) {
    unsigned char out[20];
    mix_tick_and_pid(0x12345678u, 0x00001234u, out);
    EXPECT_EQ(out[0], 0x6A);
    EXPECT_EQ(out[1], 0x73);
    EXPECT_EQ(out[2], 0x7E);
    EXPECT_EQ(out[3], 0x49);
    // The last byte: tick byte 3, pid byte 0 and 37 * 19 = 0x2BF cut to 8 bits.
    EXPECT_EQ(out[19], 0x12 ^ 0x34 ^ 0xBF);
}

TEST(StoredId, OnlyATrimmedFirstLineOf32To127HexDigitsCounts) {
    const std::string hex32 = "ABCDEF0123456789ABCDEF0123456789";
    const std::string hex40 = "0123456789abcdef0123456789abcdef01234567";
    const std::string hex127 = std::string(120, 'f') + "ABCDEF0";
    struct Case {
        std::string line;
        bool valid;
        std::string id;
    } cases[] = {
        {"  " + hex32 + " \r\n", true, hex32},  // case kept
        {"\t\v\f" + hex40 + "\t\n", true, hex40},
        {hex127, true, hex127},
        {hex127 + "0", true, hex127},  // longer text: its first 127 characters
        {hex32.substr(1), false, ""},  // 31 digits
        {hex40.substr(0, 20) + " " + hex40.substr(20), false, ""},
        {hex40 + "g", false, ""},
        {"\xEF\xBB\xBF" + hex40, false, ""},  // byte order mark
        {"0x" + hex40, false, ""},
        {hex40.substr(0, 39) + "\xE9", false, ""},
        {"", false, ""},
        {" \r\n", false, ""},
        {"\n" + hex40, false, ""},  // valid only on the second line
        {hex32.substr(0, 16) + "\n" + hex32.substr(16), false, ""},
    };
    for (const Case& c : cases) {
        char out[128];
        std::memset(out, '#', sizeof out);
        EXPECT_EQ(parse_stored_id(c.line.c_str(), out), c.valid) << '"' << c.line << '"';
        if (c.valid) {
            EXPECT_EQ(std::string(out), c.id);
        }
    }
}

TEST(EstablishClientId, KeepsTheFirst127CharactersOfALongHostHash) {
    FakeHost& host = FakeHost::get();
    host.reset();
    const std::string hash = "Fe12ab34" + std::string(192, 'c');
    host.set_users({{1, hash}});
    host.set_local_user(1);

    const HostApi saved_host = g_state.host;
    const PluginSettings saved_settings = g_state.settings;
    const bool own_lock = !g_state.lock_initialised;
    if (own_lock) plat::lock_init(&g_state.lock);
    const std::string dir = pt::make_temp_dir("ql-id-");
    g_state.host.table = host.table();
    g_state.host.registered = 1;
    g_state.settings.debug_log = 0;
    std::snprintf(g_state.settings.client_id_path, kPathField, "%s",
                  pt::join(dir, "quorra_link_client_id.txt").c_str());

    establish_client_id(0);
    EXPECT_EQ(std::string(g_state.client_id), hash.substr(0, 127));
    EXPECT_TRUE(host.has_log_line("[quorra_link] type this in chat (one time):   !verify Fe12ab34"));
    EXPECT_EQ(host.outstanding(), 0u);
    EXPECT_EQ(host.bad_frees(), 0);
    EXPECT_FALSE(pt::file_exists(g_state.settings.client_id_path));

    g_state.client_id[0] = 0;
    g_state.host = saved_host;
    g_state.settings = saved_settings;
    if (own_lock) plat::lock_destroy(&g_state.lock);
    pt::remove_tree(dir);
    host.reset();
}
