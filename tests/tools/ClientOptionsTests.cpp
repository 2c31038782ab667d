#include <gtest/gtest.h>

#include "tools/corvel/ClientOptions.h"

namespace corvel::tool {
namespace {

std::variant<CommandLine, std::string> parse(std::vector<std::string_view> args) {
  return CommandLine::parse(args);
}

TEST(CommandLineTest, ReadsBothCommandsWithTheSharedOptions) {
  auto connect = parse({"connect", "host:6000", "--code", "ABC", "--pin", "FP", "--seconds", "3",
                        "--input", "move 0.5 0.5; click"});
  ASSERT_TRUE(std::holds_alternative<CommandLine>(connect));
  const auto& c = std::get<CommandLine>(connect);
  EXPECT_EQ(c.command, CommandLine::Command::connect);
  EXPECT_EQ(c.options.target, "host:6000");
  EXPECT_EQ(c.options.pin, "FP");
  EXPECT_EQ(c.options.seconds, 3);
  ASSERT_TRUE(c.options.input);
  EXPECT_EQ(c.options.input->steps.size(), 3u);  // a click is a press and a release
  EXPECT_EQ(c.options.deviceName, "corvel");

  auto view = parse({"view", "--code", "ABC", "[::1]:5895", "--headless", "--frames", "10",
                     "--record", "/tmp/x.mov", "--token", "T"});
  ASSERT_TRUE(std::holds_alternative<CommandLine>(view));
  const auto& v = std::get<CommandLine>(view);
  EXPECT_EQ(v.command, CommandLine::Command::view);
  EXPECT_TRUE(v.options.headless);
  EXPECT_EQ(v.options.frames, 10);
  EXPECT_EQ(v.options.record, "/tmp/x.mov");
  EXPECT_EQ(v.options.ownerToken, "T");
  EXPECT_EQ(v.options.deviceName, "corvel view");
}

TEST(CommandLineTest, RefusesWhatItCannotUse) {
  const std::vector<std::vector<std::string_view>> bad = {
      {"connect", "host"},                                 // no code
      {"connect", "--code", "ABC"},                        // no host
      {"connect", "host", "--code"},                       // option without its value
      {"connect", "host", "--code", "A", "--headless"},    // a view option
      {"view", "host", "--code", "A", "--frames", "0"},    // frames must be positive
      {"view", "host", "--code", "A", "--seconds", "-1"},  // negative seconds
      {"view", "host", "--code", "A", "--input", "fly"},   // bad script
      {"view", "host", "other", "--code", "A"},            // two hosts
      {"record", "host", "--code", "A"},                   // unknown command
      {"send", "host", "--code", "A"},                     // nothing to send
      {"screenshot", "host", "--code", "A"},               // no file
      {"text", "host", "--code", "A", "extra"},            // text takes no operand
      {"chat", "host", "--code", "A", "two", "words"},     // text as one argument
      {"clipboard", "host", "--code", "A", "t", "--text-file", "f"},  // both
      {"receive", "host", "--code", "A", "--files", "0"},  // files must be positive
      {"connect", "host", "--code", "A", "--into", "x"},   // a receive option
  };
  for (const auto& args : bad) {
    EXPECT_TRUE(std::holds_alternative<std::string>(parse(args))) << args[1];
  }
}

TEST(CommandLineTest, FeatureCommandsTakeTheirOperands) {
  auto send = parse({"send", "host", "--code", "A", "a.txt", "b.bin"});
  ASSERT_TRUE(std::holds_alternative<CommandLine>(send));
  EXPECT_EQ(std::get<CommandLine>(send).command, CommandLine::Command::send);
  EXPECT_EQ(std::get<CommandLine>(send).options.operands, (std::vector<std::string>{"a.txt", "b.bin"}));

  auto receive = parse({"receive", "host", "--code", "A", "--into", "/tmp/in", "--files", "3"});
  ASSERT_TRUE(std::holds_alternative<CommandLine>(receive));
  EXPECT_EQ(std::get<CommandLine>(receive).options.into, "/tmp/in");
  EXPECT_EQ(std::get<CommandLine>(receive).options.files, 3);

  auto clipboard = parse({"clipboard", "host", "--code", "A", "--text-file", "t", "--into", "o"});
  ASSERT_TRUE(std::holds_alternative<CommandLine>(clipboard));
  EXPECT_EQ(std::get<CommandLine>(clipboard).options.textFile, "t");
  EXPECT_TRUE(std::get<CommandLine>(clipboard).options.operands.empty());

  auto shot = parse({"screenshot", "host", "--code", "A", "shot.jpg"});
  ASSERT_TRUE(std::holds_alternative<CommandLine>(shot));
  EXPECT_EQ(std::get<CommandLine>(shot).options.operands, std::vector<std::string>{"shot.jpg"});
}

}  // namespace
}  // namespace corvel::tool
