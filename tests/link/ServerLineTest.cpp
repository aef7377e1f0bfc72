// The server's lines as the link port and the virtual-HID bridge read them: what each line
// carries, and which lines are ignored.
#include <gtest/gtest.h>

#include <string>

#include "platform/link/ServerLine.h"

namespace kestro::link {
namespace {

using Verb = ServerLine::Verb;

std::string Payload(const char* firstByte) { return firstByte + std::string(126, '0'); }

std::optional<ServerLine> Parse(const std::string& text) {
  std::string why;
  std::optional<ServerLine> line = ParseServerLine(text, why);
  EXPECT_EQ(line.has_value(), why.empty()) << text;
  return line;
}

TEST(ServerLineTest, AttachCarriesIdentityAndFlags) {
  const auto plain = Parse("attach pad.B-2 3A7C 5750\r");
  ASSERT_TRUE(plain);
  EXPECT_EQ(plain->verb, Verb::kAttach);
  EXPECT_EQ(plain->id, "pad.B-2");
  EXPECT_EQ(plain->vendorId, 0x3A7C);
  EXPECT_EQ(plain->productId, 0x5750);
  EXPECT_FALSE(plain->noOpen || plain->noAttr);

  const auto flagged = Parse("attach pad 3a7c 3002 noattr,noopen");
  ASSERT_TRUE(flagged);
  EXPECT_TRUE(flagged->noOpen && flagged->noAttr);
  EXPECT_EQ(Parse("attach pad 3a7c 3002 noattr").value().noOpen, false);
}

TEST(ServerLineTest, TheOtherLinesCarryWhatTheirVerbNeeds) {
  const auto input = Parse("input pad " + Payload("aB"));
  ASSERT_TRUE(input);
  EXPECT_EQ(input->payload[0], 0xAB);
  EXPECT_EQ(input->payload[63], 0);
  EXPECT_EQ(Parse("detach pad").value().id, "pad");
  EXPECT_EQ(Parse("stall pad").value().verb, Verb::kStall);
  EXPECT_EQ(Parse("notify removal").value().event, ServerLine::Event::kRemoval);
  EXPECT_EQ(Parse("notify devnodes").value().event, ServerLine::Event::kDevnodes);
  EXPECT_EQ(Parse("sync x-17").value().token, "x-17");
  EXPECT_EQ(Parse("ready").value().verb, Verb::kReady);
}

TEST(ServerLineTest, UnknownOrMalformedLinesAreIgnoredWithAReason) {
  for (const std::string& text :
       {std::string("attach pad 3a7c 5750 noopen,"), std::string("attach pad 3a7c 5750 NOOPEN"),
        std::string("attach pad 3a7c 57500"), std::string("attach p#d 3a7c 5750"),
        "input pad " + Payload("a"), "input pad " + Payload("-1"), std::string("stall"),
        std::string("detach pad x"), std::string("notify Arrival"), std::string("ready\r\r"),
        std::string("sync"), std::string("output pad 00"), std::string("ready\x7f"),
        std::string("\tready")}) {
    EXPECT_FALSE(Parse(text)) << text;
  }
}

}  // namespace
}  // namespace kestro::link
