// FTP gateway in-process (ftp_drive.h): every rewritten line kind and the
// lines that must pass, whole, cut at every offset and read through buffers
// smaller than a longer rewrite; the data listener's life. (activeftp = 0
// is shown end to end, tests/e2e/test_ftp.sh.)
#include <gtest/gtest.h>

#include <sys/socket.h>

#include "core/settings.h"
#include "ftp_drive.h"
#include "nat/tcp_accept.h"

using namespace ftp_drive;

TEST(FtpTest, OutputDoesNotDependOnCutsOrReadSize) {
  Settings_Reset();
  // Per parser a stream of lines to rewrite and lines that must pass (a
  // longer rewrite displaces what follows it), and what must come out.
  const std::tuple<Parser, const char *, const char *> cases[] = {
      {kGuestCommands, "port 10,0,0,5,4,1\r\nUSER a\r\nEPRT |1|10.0.0.5|5000|\r\nEPRT |2|::1|5|\r\nPORTS 1,2,3,4,5,6\r\n PORT 1,2,3,4,5,6\r\nPORT\t1,2,3,4,5,6\r\nPORT 1,a,3,4,5,6\r\nABOR\r\nPORT 1,2,3,4,5,6",
       "PORT 198,51,100,1,18,52\r\nUSER a\r\nEPRT |1|198.51.100.1|4660|\r\nEPRT |2|::1|5|\r\nPORTS 1,2,3,4,5,6\r\n PORT 1,2,3,4,5,6\r\nPORT\t1,2,3,4,5,6\r\nPORT 1,a,3,4,5,6\r\nABOR\r\nPORT 1,2,3,4,5,6"},
      {kGuestReplies, "227 Passive (0,0,0,0,19,137)\r\n229 Extended (|||5001|)\r\n227-Passive (1,2,3,4,5,6)\r\n227 none\r\n229 (|2|x|)\r\n",
       "227 Passive (198,51,100,1,18,52).\r\n229 Extended (|||4660|).\r\n227-Passive (1,2,3,4,5,6)\r\n227 none\r\n229 (|2|x|)\r\n"},
      {kReadReplies, "227 Passive (192,168,0,10,19,137).\r\n227 (1,1,1,1,0,1)\r\n229 (|1|10.1.1.1|6446|)\r\n229 (|||6446|)\r\n227-x (1,2,3,4,5,6)\r\n227 (1,2,3,4,5)\r\n227 (1,2,a,4,5,6)\r\n227 (1",
       "227 Passive (203,0,113,7,19,137).\r\n227 (203,0,113,7,0,1)\r\n229 (|||6446|)\r\n229 (|||6446|)\r\n227-x (1,2,3,4,5,6)\r\n227 (1,2,3,4,5)\r\n227 (1,2,a,4,5,6)\r\n227 (1"},
      {kReadCommands, "PORT 127,0,0,1,4,1\r\nport\t127,0,0,1,4,1\r\nEPRT |1|127.0.0.1|1025|\r\nPORT 192,168,1,2,4,1\r\nPORT 127,0,0,2,4,1\r\nEPRT |2|127.0.0.1|1025|\r\nPORT x127,0,0,1,4,1\r\nPORTS 127,0,0,1,4,1\r\nPORT 127,0,0,1,4",
       "PORT 10,254,254,1,4,1\r\nport\t10,254,254,1,4,1\r\nEPRT |1|10.254.254.1|1025|\r\nPORT 192,168,1,2,4,1\r\nPORT 127,0,0,2,4,1\r\nEPRT |2|127.0.0.1|1025|\r\nPORT x127,0,0,1,4,1\r\nPORTS 127,0,0,1,4,1\r\nPORT 127,0,0,1,4"},
  };
  for (const auto &[p, in, want] : cases) {
    EXPECT_EQ(Rewrite(p, in, {}), want);
    for (size_t cut = 1; cut < strlen(in); ++cut) EXPECT_EQ(Rewrite(p, in, {cut}), want) << "cut at " << cut;
    for (size_t cap : {1, 2, 3, 7, 12, 25}) EXPECT_EQ(Rewrite(p, in, {}, cap), want) << "reads of " << cap;
  }
}

TEST(FtpTest, OneDataListenerAtATimeUntilAbor) {
  TcpConn conn{};
  Attach(conn, true);
  conn.poll.fd = socket(AF_INET, SOCK_STREAM, 0);
  const unsigned before = TcpAccept_Count();
  // ABOR ended by CR LF is a five-character word: not ABOR.
  for (const char *line : {"PORT 10,0,0,5,4,1\r\n", "EPRT |1|10.0.0.5|1026|\r\n", "ABOR\r\n", "ABOR\n", "PORT 1,2,3,4,5,6\n"}) {
    TcpSegment *seg = TcpSegment_New(reinterpret_cast<const uint8_t *>(line), uint32_t(strlen(line)), 0);
    conn.segmentHook(&conn, seg);
    TcpSegment_Free(seg);
    Poll_Reap();
    EXPECT_EQ(TcpAccept_Count(), before + (strcmp(line, "ABOR\n") != 0)) << line;
  }
  conn.release(&conn);
  Poll_Reap();
  EXPECT_EQ(TcpAccept_Count(), before) << "the release removes the listener";
}

