// Chip models known to kxcr, recognised by substrings of device names, and
// the identification word of the chip revision that needs the write-flush
// workaround. Configuration data: kept here and nowhere else.
#ifndef KXCR_CONFIG_H
#define KXCR_CONFIG_H

#include <cstddef>
#include <cstdint>

struct kxcr_config_st {
    // Adapter-family model numbers, tested in this order by find_zorvan.
    const char* const* zorvan_models;
    size_t zorvan_model_count;
    // Switch-family model token.
    const char* duvra_token;
    // Adapter-family model token outside the model-number list.
    const char* extra_zorvan_token;
    // What the device-identification word at CR 0xF0014 reads on the chip
    // revision whose memory-mapped writes must be confirmed.
    uint32_t pellik_id;
};

extern const kxcr_config_st kxcr_config;

#endif  // KXCR_CONFIG_H
