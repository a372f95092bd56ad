#pragma once

#include <QLayout>

#include <vector>

namespace sarnovelle {

// The window's arrangement: a 12-point margin on all sides; the instruction
// label across the full width at its wrapped height; 10 below it a row of
// the pop-up, Refresh and Make USB, 8 apart, the buttons at their natural
// width and centred vertically on the pop-up, which takes whatever width is
// left (down to nothing, so a long disk label never widens the window); 10
// below the pop-up the log, down to the bottom margin.
//
// Widgets are added with addWidget in exactly that order: label, pop-up,
// Refresh, Make USB, log.
class WindowLayout : public QLayout {
public:
    static constexpr int margin = 12;
    static constexpr int rowGap = 10;
    static constexpr int buttonGap = 8;

    explicit WindowLayout(QWidget* parent = nullptr);
    ~WindowLayout() override;

    void addItem(QLayoutItem* item) override;
    int count() const override;
    QLayoutItem* itemAt(int index) const override;
    QLayoutItem* takeAt(int index) override;

    QSize sizeHint() const override;
    QSize minimumSize() const override;
    Qt::Orientations expandingDirections() const override;
    void setGeometry(const QRect& rect) override;

private:
    enum Slot { Label, Popup, Refresh, Make, Log, SlotCount };
    QLayoutItem* slot(Slot which) const;
    int labelHeight(int width) const;

    std::vector<QLayoutItem*> items_;
};

} // namespace sarnovelle
