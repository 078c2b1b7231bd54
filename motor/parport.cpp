// The real parallel port, through the x86 I/O permission bitmap.
#include <sys/io.h>

#include "motor/port.hpp"

namespace armctl {
namespace {

class parallel_port final : public port {
 public:
  bool grant() override { return ::ioperm(port_base, port_count, 1) == 0; }
  bool drop() override { return ::ioperm(port_base, port_count, 0) == 0; }
  void write(std::uint8_t value) override { ::outb(value, static_cast<unsigned short>(port_base)); }
};

}  // namespace

std::unique_ptr<port> make_port(const char*) { return std::make_unique<parallel_port>(); }

}  // namespace armctl
