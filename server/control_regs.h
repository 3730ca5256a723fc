// The gateways' control registers, as the server learns them from an
// arr_db.txt.
#ifndef KXCR_SERVER_CONTROL_REGS_H
#define KXCR_SERVER_CONTROL_REGS_H

#include <cstdint>
#include <set>
#include <string>

// Adds the control register of every gateway line of the database at `path`
// to *regs. A gateway line is one whose kind word (word 2) begins with "GW_";
// word 3 is its control register in hexadecimal, except for "GW_SXP", whose
// control register is 0x1DB00 whatever word 3 says. False with a reason
// naming the file, line number and line when the file cannot be read or a
// gateway line has no valid address: a guard must not start with a hole.
bool load_control_regs(const std::string& path, std::set<uint32_t>* regs, std::string* error);

#endif  // KXCR_SERVER_CONTROL_REGS_H
