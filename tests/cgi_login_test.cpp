// The CGI's login check against an htpasswd file, and its settings file.
// The credentials and the hash ({SHA}: base64 of SHA-1) were made with
// coreutils' base64 and sha1sum, not with the code under test.
#include <gtest/gtest.h>

#include <string>

#include "cgi/auth.hpp"
#include "cgi/settings.hpp"
#include "tests/support.hpp"

namespace armctl::cgi {
namespace {

using armctl::testing::scratch_dir;
using armctl::testing::write_file;

struct login_case {
  const char* name;
  const char* header;  // null: no Authorization header
  bool valid;
};

TEST(Login, OnlyAUserOfTheFileWithItsPasswordGetsIn) {
  const scratch_dir dir;
  write_file(dir.file("htpasswd"), "someone:{SHA}x\noperator:{SHA}W6ph5Mm5Pz8GgiULbPgzG37mj9g=\n");
  const login_case cases[] = {
      {"right password", "Basic b3BlcmF0b3I6cGFzc3dvcmQ=", true},
      {"scheme in lower case", "basic b3BlcmF0b3I6cGFzc3dvcmQ=", true},
      {"wrong password", "Basic b3BlcmF0b3I6d3Jvbmc=", false},
      {"unknown user", "Basic aW50cnVkZXI6cGFzc3dvcmQ=", false},
      {"no colon", "Basic b3BlcmF0b3JwYXNzd29yZA==", false},
      {"another scheme", "Bearer b3BlcmF0b3I6cGFzc3dvcmQ=", false},
      {"empty", "", false},
      {"no header", nullptr, false},
  };
  for (const auto& c : cases) {
    const auto header = c.header ? std::optional<std::string_view>(c.header) : std::nullopt;
    EXPECT_EQ(credentials_valid(header, dir.file("htpasswd").c_str()), c.valid) << c.name;
  }
  EXPECT_FALSE(credentials_valid("Basic b3BlcmF0b3I6cGFzc3dvcmQ=", dir.file("none").c_str()));
}

TEST(Settings, EachGoodLineCountsAndTheRestKeepTheirDefaults) {
  const scratch_dir dir;
  write_file(dir.file("conf"),
             "# the arm\n\nwait_ms = 2500\norigins = http://arm.local  https://arm.local # both\n"
             "max_waiting = many\nmax_motion_s=5\ncolour = red\n");
  const front_settings s = load_settings(dir.file("conf").c_str());
  EXPECT_EQ(s.lock_wait.count(), 2500);
  EXPECT_EQ(s.origins, (std::vector<std::string>{"http://arm.local", "https://arm.local"}));
  EXPECT_EQ(s.max_waiting, 8u);
  EXPECT_EQ(s.max_motion.count(), 5);
  const front_settings none = load_settings(dir.file("missing").c_str());
  EXPECT_EQ(none.lock_wait.count(), 10000);  // ARMCTL_CGI_WAIT_MS of the test presets
  EXPECT_TRUE(none.origins.empty());
}

}  // namespace
}  // namespace armctl::cgi
