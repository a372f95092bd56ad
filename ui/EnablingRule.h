#pragma once

namespace sarnovelle {

// Which of the window's controls accept input.
struct ControlStates {
    bool diskPopup = false;
    bool refreshButton = false;
    bool makeButton = false;

    bool operator==(const ControlStates&) const = default;
};

// The pop-up and Refresh follow only the busy state; Make USB also needs a
// verified image and at least one listed disk. The selection plays no part.
constexpr ControlStates enablingRule(bool busy, bool imageOk, bool haveDisks)
{
    return ControlStates{!busy, !busy, !busy && imageOk && haveDisks};
}

} // namespace sarnovelle
