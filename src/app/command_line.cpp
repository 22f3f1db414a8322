// The command line read by the record's option table.
#include "app/command_line.h"

#include <cstring>

#include "output/output_channel.h"
#include "platform/platform.h"
#include "record/number_text.h"
#include "record/options.h"

namespace qelvor {

namespace {

using record::OptionField;
using record::OptionKind;

RunSettings settings;

// No default: a field added without its case here draws a warning.
void store_setting(OptionField field, uint32_t value) {
    switch (field) {
        case OptionField::None:
            break;
        case OptionField::Verbose:
            settings.verbose = true;
            break;
        case OptionField::TimeOfDay:
            settings.time_of_day = true;
            break;
        case OptionField::RequestCount:
            settings.request_count = value;
            break;
        case OptionField::Period:
            settings.period_ms = value;
            break;
        case OptionField::Wait:
            settings.wait_ms = value;
            break;
        case OptionField::ChangeLimit:
            settings.change_limit = static_cast<uint8_t>(value);
            break;
    }
}

// Opens the -o path as the log: Accepted when it is open. The path is used
// where it stands in the arguments, which outlive the run.
ParseResult open_log(const char* path) {
    if (std::strlen(path) > record::max_log_path) return ParseResult::Usage;
    int error_number = output_open_log(path);
    if (error_number == 0) return ParseResult::Accepted;
    report_failure("Log file open failed.", error_number);
    return ParseResult::LogOpenFailed;
}

}  // namespace

const RunSettings& run_settings() { return settings; }

ParseResult parse_command_line(int argc, char** argv) {
    settings = RunSettings{};
    for (const record::Option& option : record::options) {
        if (option.kind == OptionKind::Number) store_setting(option.field, option.default_value);
    }

    for (int i = 1; i < argc; ++i) {
        const char* argument = argv[i];
        const record::Option* option = record::option_named(argument);
        if (option == nullptr) {
            // Anything else is the address. 0.0.0.0 counts as none given, so
            // an address after it is taken.
            if (settings.target_address != 0) return ParseResult::Usage;
            uint32_t address = platform::address_from_text(argument);
            if (address == platform::address_none) return ParseResult::Usage;
            settings.target_address = address;
            continue;
        }
        if (option->kind == OptionKind::Help) return ParseResult::Usage;
        uint32_t value = 0;
        if (option->kind != OptionKind::Flag) {
            // The next argument is the value, whatever it looks like.
            if (i + 1 >= argc) return ParseResult::Usage;
            const char* value_text = argv[++i];
            if (option->kind == OptionKind::LogFile) {
                ParseResult opened = open_log(value_text);
                if (opened != ParseResult::Accepted) return opened;
            } else if (!record::read_number(value_text, &value) || value < option->low ||
                       value > option->high) {
                return ParseResult::Usage;
            }
        }
        store_setting(option->field, value);
    }
    if (settings.target_address == 0) return ParseResult::Usage;
    return ParseResult::Accepted;
}

}  // namespace qelvor
