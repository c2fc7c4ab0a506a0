#include "driver/records.h"

namespace kvx {

void OptionDescriptor::fill(std::int32_t optionNumber) {
    const bool epm = optionNumber == 62 || optionNumber == 63;
    set(0, 0);
    set(1, 1);
    set(2, epm ? 3u : 1u);
    set(3, 1000);
    set(4, static_cast<std::uint32_t>(optionNumber));
    set(5, 0);
    set(6, 0);
}

void OptionDescriptors::fill() {
    const std::int32_t options[] = {62, 63, 122, 123};
    for (std::size_t i = 0; i < items.size(); ++i) items[i].fill(options[i]);
}

void OptionDescriptors::reset() {
    for (auto& d : items) d.reset();
}

}  // namespace kvx
