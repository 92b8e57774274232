// TProgressBar: a progress bar whose range and position behave as the update run expects.
#pragma once

#include <QProgressBar>

#include <algorithm>

// Use Max()/Position() rather than QProgressBar's maximum()/value(): a range of 0 to 0 (an update file
// without pages) is kept here as an empty bar, where QProgressBar would turn it into a busy animation,
// and a position outside the range is clamped instead of ignored.
class TProgressBar : public QProgressBar {
public:
    explicit TProgressBar(QWidget* Parent) : QProgressBar(Parent) {
        setTextVisible(false);
        Apply();
    }

    int Max() const { return FMax; }
    int Position() const { return FPosition; }
    void SetMax(int Max) {
        FMax = std::max(0, Max);
        FPosition = std::min(FPosition, FMax);
        Apply();
    }
    void SetPosition(int Position) {
        FPosition = std::clamp(Position, 0, FMax);
        Apply();
    }

private:
    void Apply() {
        setRange(0, std::max(1, FMax));
        setValue(FPosition);
    }

    int FMax = 100;
    int FPosition = 0;
};
