// orvo-collector-load: sends probe-like event lines to a collector as fast as
// loopback allows and reports how fast the collector took them.
//
//   orvo-collector-load PORT [LINES_PER_CONNECTION] [CONNECTIONS]
//
// Each connection opens with a "dataConn" line, sends its lines in large
// writes, then half-closes and waits until the collector closes in turn,
// which it does only after reading everything: the time measured therefore
// covers the collector's work, not only the sender's.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

// A realistic mix: mostly plain calls and returns, some returns with an
// exception, some frontends and SQL records.
std::string makeBlock(unsigned pid, unsigned lines, unsigned &linesInBlock) {
  std::string block;
  unsigned long long seq = 1;
  for (linesInBlock = 0; linesInBlock < lines; ++linesInBlock) {
    std::string p = std::to_string(pid);
    std::string s = std::to_string(seq);
    std::string ts = "1733900000" + std::to_string(100 + linesInBlock % 900);
    switch (linesInBlock % 20) {
      case 0:
        block += "{\"op\":\"fnC\",\"ts\":" + ts + ",\"fn\":\"/var/www/app/index.php\",\"pid\":\"" + p +
                 "\",\"seq\":" + s + ",\"prms\":{\"url\":\"/shop/cart?id=17\",\"frontend\":\"true\","
                 "\"hostName\":\"shop.example\",\"hostPort\":\"80\",\"httpMethod\":\"GET\"}}\n";
        break;
      case 7:
        block += "{\"op\":\"fnC\",\"ts\":" + ts + ",\"fn\":\"PDOStatement::execute\",\"pid\":\"" + p +
                 "\",\"seq\":" + s + ",\"prms\":{\"url\":\"mysql://db:3306/shop\",\"query\":"
                 "\"SELECT * FROM cart WHERE id = ?\",\"stmtid\":\"12\"}}\n";
        break;
      case 13:
        block += "{\"op\":\"fnR\",\"ts\":" + ts + ",\"fn\":\"App\\u005cCart::load\",\"pid\":\"" + p +
                 "\",\"cseq\":" + s + ",\"exc\":{\"class\":\"RuntimeException\",\"msg\":\"no cart\","
                 "\"file\":\"/var/www/app/Cart.php\",\"line\":\"42\"}}\n";
        break;
      default:
        block += "{\"op\":\"" + std::string(linesInBlock % 2 ? "fnR" : "fnC") + "\",\"ts\":" + ts +
                 ",\"fn\":\"App\\u005cModel\\u005cCart::total\",\"pid\":\"" + p + "\",\"" +
                 (linesInBlock % 2 ? "cseq" : "seq") + "\":" + s + "}\n";
        break;
    }
    ++seq;
  }
  return block;
}

bool sendAll(int fd, const char *data, size_t size) {
  while (size > 0) {
    ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: orvo-collector-load PORT [LINES_PER_CONNECTION] [CONNECTIONS]\n");
    return 2;
  }
  int port = std::atoi(argv[1]);
  unsigned long long lines = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 5000000;
  unsigned connections = argc > 3 ? static_cast<unsigned>(std::atoi(argv[3])) : 1;
  const unsigned kBlockLines = 1000;

  std::vector<std::string> blocks;
  for (unsigned i = 0; i < connections; ++i) {
    unsigned n = 0;
    blocks.push_back(makeBlock(40000 + i, kBlockLines, n));
  }
  unsigned long long blocksPerConnection = (lines + kBlockLines - 1) / kBlockLines;
  double bytes = 0;
  for (auto &b : blocks) bytes += static_cast<double>(b.size()) * blocksPerConnection;
  unsigned long long total = blocksPerConnection * kBlockLines * connections;

  auto start = std::chrono::steady_clock::now();
  std::vector<std::thread> threads;
  bool failed = false;
  for (unsigned i = 0; i < connections; ++i) {
    threads.emplace_back([&, i] {
      int fd = socket(AF_INET, SOCK_STREAM, 0);
      sockaddr_in addr{};
      addr.sin_family = AF_INET;
      addr.sin_port = htons(static_cast<uint16_t>(port));
      addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        failed = true;
        return;
      }
      std::string open = "{\"op\":\"dataConn\",\"probe\":\"php\",\"ver\":\"1\",\"pid\":\"" +
                         std::to_string(40000 + i) + "\",\"tid\":\"1\",\"instid\":\"40000\"}\n";
      bool ok = sendAll(fd, open.data(), open.size());
      for (unsigned long long b = 0; ok && b < blocksPerConnection; ++b)
        ok = sendAll(fd, blocks[i].data(), blocks[i].size());
      shutdown(fd, SHUT_WR);
      char sink[256];
      while (ok && read(fd, sink, sizeof sink) > 0) {
      }
      close(fd);
      if (!ok) failed = true;
    });
  }
  for (auto &t : threads) t.join();
  double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (failed) {
    std::fprintf(stderr, "orvo-collector-load: a connection failed\n");
    return 1;
  }
  std::printf("lines=%llu bytes=%.0f seconds=%.3f lines_per_s=%.0f mb_per_s=%.1f\n", total, bytes,
              seconds, total / seconds, bytes / seconds / 1e6);
  return 0;
}
