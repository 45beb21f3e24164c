// Scan chains on their own: what is kept in the chain files and when, what
// the keys accept, and the bulk path through long chains in series.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "sim/board.h"
#include "sim/scan_chains.h"

namespace {

namespace fs = std::filesystem;
using jtag::BitVector;
using jtag::sim::Board;
using jtag::sim::ScanChain;
using jtag::sim::StateError;
using jtag::sim::StateMap;

class ChainFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("jtagbox-chain-" + std::to_string(::getpid()) + "-" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path file() const { return dir_ / "c.bits"; }
  fs::path dir_;
};

TEST_F(ChainFiles, PowerUpContentsDependOnTheSeedOnly) {
  ScanChain a(file(), 300, 7), b(file(), 300, 7), c(file(), 300, 8);
  EXPECT_EQ(a.contents(), b.contents());
  EXPECT_NE(a.contents(), c.contents());
  EXPECT_FALSE(fs::exists(file()));  // looking is not storing
}

TEST_F(ChainFiles, ShiftedChainIsStoredAndComesBack) {
  BitVector value = BitVector::from_u64(0x123456789abcdefu, 70);
  value.set(69, true);
  {
    ScanChain chain(file(), 70, 1);
    chain.set_contents(value);
    chain.persist();
  }
  ASSERT_TRUE(fs::exists(file()));
  ScanChain again(file(), 70, 1);
  again.look_for_file();
  EXPECT_TRUE(again.stored());
  EXPECT_EQ(again.contents(), value);
}

TEST_F(ChainFiles, NewLengthOrBrokenFilePowersUpAfresh) {
  {
    ScanChain chain(file(), 70, 1);
    chain.set_contents(BitVector(70, true));
    chain.persist();
  }
  ScanChain fresh40(file(), 40, 1);
  const BitVector power_up = fresh40.contents();

  ScanChain resized(file(), 70, 1);
  resized.look_for_file();
  resized.set_length(40);
  EXPECT_EQ(resized.contents(), power_up);

  ScanChain untouched(file(), 40, 1);  // the file holds 70 bits: stale
  untouched.look_for_file();
  EXPECT_FALSE(untouched.stored());
  untouched.persist();
  EXPECT_FALSE(fs::exists(file()));

  std::ofstream(file(), std::ios::binary) << "JSCHAIN1 short";
  ScanChain broken(file(), 40, 1);
  broken.look_for_file();
  EXPECT_EQ(broken.contents(), power_up);
}

TEST_F(ChainFiles, KeysAreCheckedStrictly) {
  const std::vector<std::pair<std::string, std::string>> bad = {
      {"k.length", "0"},     {"k.length", "x"},   {"k.length", "4294967296"},
      {"k", "0x1ff"},        {"k", "12"},         {"k", "0xzz"},
  };
  for (const auto &[key, value] : bad) {
    ScanChain chain(file(), 8, 1);
    StateMap state;
    state.put(key, value);
    EXPECT_THROW(jtag::sim::load_chain_keys(state, "k", chain), StateError) << key << "=" << value;
  }
  ScanChain chain(file(), 8, 1);
  StateMap state;
  state.put("k.length", "12");
  state.put("k", "0xabc");
  jtag::sim::load_chain_keys(state, "k", chain);
  EXPECT_EQ(chain.length(), 12u);
  EXPECT_EQ(chain.contents().to_u64(), 0xabcu);
  StateMap saved;
  jtag::sim::save_chain_keys(saved, "k", chain);
  EXPECT_EQ(saved.serialize(), StateMap::parse("k.length=0xc\n").serialize());
}

// Eight chips in full scan, each with a long chain selected: the bulk path
// gives bit for bit what clocking one bit at a time gives, recycled or not.
TEST_F(ChainFiles, BulkShiftThroughChainsInSeries) {
  auto shift_all = [&](bool bulk, bool recycle) {
    Board board(dir_);
    StateMap state;
    board.save(state);
    state.put("scan_mode", "0");
    for (int i = 0; i < 4; ++i) {
      const std::string cpu = "cpu" + std::to_string(i);
      state.put(cpu + ".scan_access", "1");
      state.put(cpu + ".ir", "0x80");
      state.put(cpu + ".chain_select", "0x0" + std::to_string(i + 1));
      state.put(cpu + ".tap", "Shift-DR");
      const std::string vnx = "vnx" + std::to_string(i);
      state.put(vnx + ".scan_access", "1");
      state.put(vnx + ".scan_config", "0x01e0");
      state.put(vnx + ".ir", "0x3e");
      state.put(vnx + ".tap", "Shift-DR");
    }
    state.put("fpga.0xcb1000", "0x01");  // the Vornex clock stopped
    Board loaded(dir_);
    loaded.load(state);
    BitVector in(30000);
    for (size_t i = 0; i < in.size(); i += 3) in.set(i, true);
    if (bulk) return loaded.shift_bulk(in, recycle);
    BitVector out(in.size());
    bool previous = false;
    for (size_t i = 0; i < in.size(); ++i) {
      previous = loaded.clock(i + 1 == in.size(), recycle && i > 0 ? previous : in.get(i));
      out.set(i, previous);
    }
    return out;
  };
  for (bool recycle : {false, true}) {
    const BitVector slow = shift_all(false, recycle);
    EXPECT_EQ(shift_all(true, recycle), slow) << recycle;
    EXPECT_FALSE(slow == BitVector(slow.size())) << "the chains gave nothing but zeros";
  }
}

}  // namespace
