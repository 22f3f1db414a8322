// The command line's table, looked up.
#include "record/options.h"

namespace record {

const Option* option_named(std::string_view argument) {
    if (argument.size() != 2 || argument[0] != '-') return nullptr;
    for (const Option& option : options) {
        if (option.letter == argument[1]) return &option;
    }
    return nullptr;
}

uint32_t default_of(OptionField field) {
    for (const Option& option : options) {
        if (option.field == field) return option.default_value;
    }
    return 0;
}

}  // namespace record
