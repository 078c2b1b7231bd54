// The simulated port's log: one line per write, in order, nothing lost when
// the writes held in memory are appended early.
#include <gtest/gtest.h>

#include "motor/sim_port.hpp"
#include "support.hpp"
#include "tools/port_trace.hpp"

namespace armctl {
namespace {

TEST(SimPort, LogsEveryWriteInOrderAcrossEarlyAppends) {
  testing::scratch_dir tmp;
  const std::string log = tmp.file("port.log");
  {
    sim_port port(log, 7);  // appends every seventh write
    ASSERT_TRUE(port.grant());
    for (int i = 0; i < 50; ++i) port.write(static_cast<std::uint8_t>(i));
    // Seven lots of seven are in the file already, the last write is not.
    std::vector<trace::write_record> early;
    ASSERT_TRUE(trace::parse_log(testing::read_file(log), early));
    EXPECT_EQ(early.size(), 49u);
    ASSERT_TRUE(port.drop());
  }
  std::vector<trace::write_record> writes;
  ASSERT_TRUE(trace::parse_log(testing::read_file(log), writes));
  ASSERT_EQ(writes.size(), 50u);
  for (std::size_t i = 0; i < writes.size(); ++i) {
    EXPECT_EQ(writes[i].byte, i);
    if (i > 0) {
      EXPECT_GE(writes[i].ns, writes[i - 1].ns);
    }
  }
}

TEST(SimPort, AppendsWhatItHeldWhenDestroyedWithoutADrop) {
  testing::scratch_dir tmp;
  const std::string log = tmp.file("port.log");
  testing::write_file(log, "1 0x01\n");
  {
    sim_port port(log);
    ASSERT_TRUE(port.grant());
    port.write(0x34);
    port.write(0x35);
  }
  const std::string text = testing::read_file(log);
  EXPECT_EQ(text.substr(0, 7), "1 0x01\n");
  EXPECT_NE(text.find(" 0x34\n"), std::string::npos);
  EXPECT_EQ(text.substr(text.size() - 5), "0x35\n");
}

// A grant it could not honour would let a run count steps that no log shows.
TEST(SimPort, RefusesTheGrantWhenItCannotOpenItsLog) {
  testing::scratch_dir tmp;
  sim_port port(tmp.file("missing/port.log"));
  EXPECT_FALSE(port.grant());
}

}  // namespace
}  // namespace armctl
