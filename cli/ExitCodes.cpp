#include "cli/CliTypes.h"

const char* ExitCodeText(EExitCode code) {
    switch (code) {
        case EExitCode::Success: return "success";
        case EExitCode::ExchangeFailed: return "the unit did not confirm every step (no answer in time, or not the expected one)";
        case EExitCode::BadArgument: return "bad argument or file";
        case EExitCode::Unreachable: return "the unit could not be reached";
        case EExitCode::Refused: return "operation refused";
    }
    return "unknown";
}

std::vector<EExitCode> AllExitCodes() {
    return {EExitCode::Success, EExitCode::ExchangeFailed, EExitCode::BadArgument, EExitCode::Unreachable,
            EExitCode::Refused};
}
