// The simulated driver's way to the chip's image (the window mapping and the
// write-flush slots live there).
#ifndef KXSIM_CHIP_ACCESS_H
#define KXSIM_CHIP_ACCESS_H

#include "image.h"
#include "sim.h"

namespace kxsim {

struct ChipAccess {
    static detail::Image& image(Chip& chip);
};

}  // namespace kxsim

#endif  // KXSIM_CHIP_ACCESS_H
