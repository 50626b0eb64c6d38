#include "platform/memstream.h"

#include <gtest/gtest.h>

#include <string>

// The transfer buffer: writes at the position overwrite, then grow; room
// taken for a receive becomes content only as far as it is committed.

TEST(MemoryStream, WritesOverwriteThenGrowAndReadsMovePastWhatTheyGive) {
  TMemoryStream stream;
  EXPECT_EQ(stream.Bytes(), "");
  stream.Write("abcdef");
  stream.SetPosition(4);
  stream.Write("XYZ");
  EXPECT_EQ(stream.Bytes(), "abcdXYZ");
  EXPECT_EQ(stream.Position(), 7);
  stream.SetPosition(100);
  EXPECT_EQ(stream.Position(), 7);
  stream.SetPosition(2);
  EXPECT_EQ(stream.Read(3), "cdX");
  EXPECT_EQ(stream.Read(100), "YZ");
  EXPECT_EQ(stream.Read(100), "");
  EXPECT_EQ(stream.Position(), 7);
}

TEST(MemoryStream, RoomBecomesContentOnlyAsFarAsCommitted) {
  TMemoryStream stream;
  stream.Write("12345678");
  stream.SetPosition(6);
  char* room = stream.WriteRoom(65536);
  room[0] = 'a';
  room[1] = 'b';
  room[2] = 'c';
  stream.CommitWrite(3);
  EXPECT_EQ(stream.Bytes(), "123456abc");
  EXPECT_EQ(stream.Position(), 9);
  stream.SetPosition(1);
  stream.WriteRoom(4)[0] = '-';
  stream.CommitWrite(1);
  EXPECT_EQ(stream.Bytes(), "1-3456abc");
}

TEST(MemoryStream, GrowingReservingAndTruncatingKeepTheContent) {
  TMemoryStream stream;
  std::string expected;
  for (int i = 0; i < 5000; ++i) {
    const std::string piece = std::to_string(i) + ",";
    stream.Write(piece);
    expected += piece;
  }
  EXPECT_TRUE(stream.Reserve(size_t{8} * 1024 * 1024));
  EXPECT_EQ(stream.Bytes(), expected);
  stream.Truncate(10);
  EXPECT_EQ(stream.Bytes(), expected.substr(0, 10));
  EXPECT_EQ(stream.Position(), 10);
  stream.Truncate(1000);
  EXPECT_EQ(stream.Size(), 10);
  stream.Assign("new");
  EXPECT_EQ(stream.Bytes(), "new");
  EXPECT_EQ(stream.Position(), 0);
  stream.Clear();
  EXPECT_EQ(stream.Bytes(), "");
  EXPECT_EQ(stream.Size(), 0);
}
