#include "pty_line.h"

#include <cstdlib>

namespace {

struct Speed {
  unsigned long baud;
  speed_t code;
};

const Speed kSpeeds[] = {
    {50, B50},         {75, B75},         {110, B110},         {134, B134},
    {150, B150},       {200, B200},       {300, B300},         {600, B600},
    {1200, B1200},     {1800, B1800},     {2400, B2400},       {4800, B4800},
    {9600, B9600},     {19200, B19200},   {38400, B38400},     {57600, B57600},
    {115200, B115200}, {230400, B230400}, {460800, B460800},   {500000, B500000},
    {576000, B576000}, {921600, B921600}, {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
};

}  // namespace

unsigned long divisor_to_baud(uint16_t value, uint16_t index, bool capable, bool dual) {
  const unsigned whole = value & 0x3FFF;
  if (whole == 0) return 3000000;
  // Eighths added by the fraction code (bits 14-15), without and with the
  // extension bit that only capable chips honour.
  static const unsigned plain[4] = {0, 4, 2, 1};
  static const unsigned extended[4] = {3, 5, 6, 7};
  const bool extension = capable && ((dual ? index >> 8 : index) & 1);
  const unsigned code = value >> 14;
  const unsigned long eighths = whole * 8UL + (extension ? extended[code] : plain[code]);
  return (3000000UL * 8 + eighths / 2) / eighths;
}

speed_t nearest_speed(unsigned long baud) {
  const Speed *best = &kSpeeds[0];
  for (const Speed &s : kSpeeds)
    if (std::labs(static_cast<long>(s.baud) - static_cast<long>(baud)) <
        std::labs(static_cast<long>(best->baud) - static_cast<long>(baud)))
      best = &s;
  return best->code;
}

void apply_line_state(const vexa_sim_channel_state &state, unsigned long baud, termios *t) {
  if (baud) {
    cfsetispeed(t, nearest_speed(baud));
    cfsetospeed(t, nearest_speed(baud));
  }
  // Line control: data bits in the low byte, parity in bits 8-10, stop
  // bits in 11-12 (0 one, 2 two).
  const unsigned bits = state.line_control & 0xFF;
  const unsigned parity = (state.line_control >> 8) & 0x7;
  const unsigned stop = (state.line_control >> 11) & 0x3;
  if (bits >= 5 && bits <= 8) {
    static const tcflag_t sizes[4] = {CS5, CS6, CS7, CS8};
    t->c_cflag = (t->c_cflag & ~CSIZE) | sizes[bits - 5];
  }
  t->c_cflag &= ~(PARENB | PARODD | CMSPAR | CSTOPB);
  switch (parity) {
    case 1: t->c_cflag |= PARENB | PARODD; break;           // odd
    case 2: t->c_cflag |= PARENB; break;                    // even
    case 3: t->c_cflag |= PARENB | PARODD | CMSPAR; break;  // mark
    case 4: t->c_cflag |= PARENB | CMSPAR; break;           // space
    default: break;
  }
  if (stop == 2) t->c_cflag |= CSTOPB;
  // Flow control: RTS/CTS and XON/XOFF have termios counterparts; DTR/DSR
  // has none and shows as no flow control.
  t->c_cflag &= ~CRTSCTS;
  t->c_iflag &= ~(IXON | IXOFF);
  if (state.flow_mode & 0x0100) t->c_cflag |= CRTSCTS;
  if (state.flow_mode & 0x0400) {
    t->c_iflag |= IXON | IXOFF;
    t->c_cc[VSTART] = static_cast<cc_t>(state.flow_chars & 0xFF);
    t->c_cc[VSTOP] = static_cast<cc_t>(state.flow_chars >> 8);
  }
}
