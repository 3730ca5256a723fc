#include "kxcr_config.h"

#include <iterator>

namespace {

const char* const zorvan_models[] = {
    "31001", "31002", "31003", "31004", "31005", "31006", "31007", "31008",
    "31009", "31010", "31011", "31012", "31013", "31014", "31015", "31016",
    "31017", "31018", "31019", "31020", "31021", "31022",
};

}  // namespace

const kxcr_config_st kxcr_config = {
    zorvan_models,
    std::size(zorvan_models),
    "kx52100",
    "kx61000",
    0x00B10017u,
};
