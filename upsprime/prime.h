// First-start preparation of the UPS service's registry area. The Config key
// marks a completed priming: while it can be opened, nothing is written.
#ifndef QELN_UPSPRIME_PRIME_H
#define QELN_UPSPRIME_PRIME_H

#include "platform/platform.h"

struct ServiceProviderEntry {
    const platform::WCHAR* key_path;
    const platform::WCHAR* value_name;  // null ends the table; "" is the default value
    const platform::WCHAR* data;
};
extern const ServiceProviderEntry ServiceProviderTable[12];  // 11 rows + end

void PrimeUpsRegistry();
int IsUpsConfigPresent();
void DetectUpgrade();
void WriteServiceProviders();
void WriteDefaultConfig();
void WriteDefaultStatus();

#endif
