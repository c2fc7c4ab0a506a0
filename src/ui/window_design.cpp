#include "ui/window_design.h"

#include <algorithm>
#include <array>
#include <string>
#include <unordered_map>
#include <vector>

namespace kvx::ui {

namespace {

constexpr bool R = true;

constexpr DesignSpot kFixedSpots[] = {
    // Version Details
    {"laExeVersion", 8, 16},
    {"laExeVersionNr", 32, 16},
    {"NormalColor", 160, 16},
    {"ErrorColor", 280, 16},
    {"laDllName", 8, 36},
    {"laMiniportVersion", 196, 36},
    {"laMiniportVersionNr", 300, 36},
    {"laTavosName", 8, 56},
    {"laTavosNameNr", 32, 56},
    {"laPldRev", 8, 76},
    {"laBdver_RenumNr", 240, 76},
    {"laFpver_FfuncNr", 280, 76},
    {"laPldRevNr", 320, 76},
    {"laEpmBaseRev", 356, 76},
    {"laEpmBaseRevNr", 420, 76},
    {"laEpmOptionRev", 448, 76},
    {"laEpmOptionRevNr", 472, 76},
    {"cbUseWebServices", 472, 16, 0, 0, R},
    {"cbGetFileNames", 488, 40, 0, 0, R},
    {"buReboot", 512, 64, 91, 25, R},
    {"Label1", 620, 16, 0, 0, R},
    {"Label2", 620, 40, 0, 0, R},
    {"cbCardNr", 696, 36, 41, 0, R},
    {"cbStayOnTop", 644, 68, 97, 0, R},
    // Board Details: left rows
    {"laBoardType", 8, 24},
    {"laBoardTypeNr", 160, 24},
    {"laSnrGrundplatine", 8, 44},
    {"laSnrGrundplatineNr", 104, 44},
    {"laSnrOptionsprint", 8, 64},
    {"laSnrOptionsprintNr", 104, 64},
    {"laStatusRegister", 8, 84},
    {"laStatusRegisterNr", 28, 84},
    {"laEO", 8, 104},
    {"laEONr", 28, 104},
    {"laCEF", 8, 124},
    {"laCEFNr", 28, 124},
    {"laDHEF", 8, 144},
    {"laDHEFNr", 28, 144},
    {"laMPE", 8, 164},
    {"laMPENr", 28, 164},
    {"laECS", 8, 184},
    {"laECSNr", 28, 184},
    {"laErrorReg", 8, 204},
    {"laErrorRegNr", 124, 204},
    // Board Details: counters on the right
    {"laMinTime", 584, 24, 0, 0, R},
    {"laMinTimeNr", 660, 24, 0, 0, R},
    {"laMaxTime", 584, 44, 0, 0, R},
    {"laMaxTimeNr", 660, 44, 0, 0, R},
    {"laDmaReadErr", 584, 84, 0, 0, R},
    {"laDmaReadErrNr", 704, 84, 0, 0, R},
    {"laDmaWriteErr", 584, 104, 0, 0, R},
    {"laDmaWriteErrNr", 704, 104, 0, 0, R},
    {"laTimeoutErr", 584, 124, 0, 0, R},
    {"laTimeoutErrNr", 704, 124, 0, 0, R},
    {"laRxDataErr", 584, 144, 0, 0, R},
    {"laRxDataErrNr", 704, 144, 0, 0, R},
    {"laRxComErr", 584, 164, 0, 0, R},
    {"laRxComErrNr", 704, 164, 0, 0, R},
    // Task Details: column headers
    {"laRun", 533, 12, 0, 0, R},
    {"laStep", 565, 12, 0, 0, R},
    {"laStop", 601, 12, 0, 0, R},
    {"laErrNum", 637, 12, 0, 0, R},
    {"laErrLine", 693, 12, 0, 0, R},
    {"WarnMsg", 140, 68, 333, 29},
};

// Names of the task rows are built once; the views point into these strings.
struct TaskRows {
    std::vector<std::string> names;
    std::vector<DesignSpot> spots;

    TaskRows() {
        names.reserve(4 * 7);
        for (int n = 0; n < 4; ++n) {
            const std::string d = std::to_string(n);
            const int y = 32 + 24 * n;
            add("laTask" + d, {{}, 8, y});
            add("laTask" + d + "FileName", {{}, 60, y});
            add("cbRun" + d, {{}, 537, y, 0, 0, R});
            add("cbStep" + d, {{}, 573, y, 0, 0, R});
            add("cbStop" + d, {{}, 609, y, 0, 0, R});
            add("edErrNum" + d, {{}, 637, y - 4, 41, 0, R});
            add("edErrLine" + d, {{}, 681, y - 4, 65, 0, R});
        }
        for (std::size_t i = 0; i < spots.size(); ++i) spots[i].name = names[i];
    }
    void add(std::string name, DesignSpot spot) {
        names.push_back(std::move(name));
        spots.push_back(spot);
    }
};

const TaskRows& taskRows() {
    static const TaskRows rows;
    return rows;
}

}  // namespace

const DesignSpot* designSpot(std::string_view name) {
    // Looked up for every control on every layout, so by hash.
    static const std::unordered_map<std::string_view, const DesignSpot*> spots = [] {
        std::unordered_map<std::string_view, const DesignSpot*> all;
        for (const DesignSpot& s : kFixedSpots) all.emplace(s.name, &s);
        for (const DesignSpot& s : taskRows().spots) all.emplace(s.name, &s);
        return all;
    }();
    const auto it = spots.find(name);
    return it == spots.end() ? nullptr : it->second;
}

bool inTaskGrid(std::string_view name) {
    for (std::string_view prefix : {"laRun", "laStep", "laStop", "laErrNum", "laErrLine", "cbRun", "cbStep", "cbStop",
                                    "edErrNum", "edErrLine"})
        if (name.starts_with(prefix)) return true;
    return false;
}

}  // namespace kvx::ui
