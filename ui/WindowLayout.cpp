#include "ui/WindowLayout.h"

#include <algorithm>

namespace sarnovelle {

WindowLayout::WindowLayout(QWidget* parent) : QLayout(parent)
{
    setContentsMargins(0, 0, 0, 0);
}

WindowLayout::~WindowLayout()
{
    for (QLayoutItem* item : items_) {
        delete item;
    }
}

void WindowLayout::addItem(QLayoutItem* item)
{
    items_.push_back(item);
}

int WindowLayout::count() const
{
    return static_cast<int>(items_.size());
}

QLayoutItem* WindowLayout::itemAt(int index) const
{
    if (index < 0 || index >= count()) {
        return nullptr;
    }
    return items_[static_cast<std::size_t>(index)];
}

QLayoutItem* WindowLayout::takeAt(int index)
{
    if (index < 0 || index >= count()) {
        return nullptr;
    }
    QLayoutItem* item = items_[static_cast<std::size_t>(index)];
    items_.erase(items_.begin() + index);
    return item;
}

QLayoutItem* WindowLayout::slot(Slot which) const
{
    return count() == SlotCount ? items_[which] : nullptr;
}

int WindowLayout::labelHeight(int width) const
{
    QLayoutItem* label = slot(Label);
    return label->hasHeightForWidth() ? label->heightForWidth(width) : label->sizeHint().height();
}

Qt::Orientations WindowLayout::expandingDirections() const
{
    return Qt::Horizontal | Qt::Vertical;
}

QSize WindowLayout::minimumSize() const
{
    if (slot(Label) == nullptr) {
        return {};
    }
    // The pop-up may shrink to nothing; the buttons never shrink.
    const int width = 2 * margin + slot(Refresh)->sizeHint().width() + slot(Make)->sizeHint().width()
                      + 2 * buttonGap;
    const int row = std::max({slot(Popup)->sizeHint().height(), slot(Refresh)->sizeHint().height(),
                              slot(Make)->sizeHint().height()});
    const int height = 2 * margin + slot(Label)->minimumSize().height() + 2 * rowGap + row
                       + slot(Log)->minimumSize().height();
    return {width, height};
}

QSize WindowLayout::sizeHint() const
{
    return minimumSize();
}

void WindowLayout::setGeometry(const QRect& rect)
{
    QLayout::setGeometry(rect);
    if (slot(Label) == nullptr) {
        return;
    }
    const int left = rect.left() + margin;
    const int right = rect.left() + rect.width() - margin; // one past the last column
    const int width = std::max(0, right - left);
    const int bottom = rect.top() + rect.height() - margin;

    const int labelTop = rect.top() + margin;
    const int labelH = labelHeight(width);
    slot(Label)->setGeometry(QRect(left, labelTop, width, labelH));

    const int popupTop = labelTop + labelH + rowGap;
    const int popupH = slot(Popup)->sizeHint().height();

    const QSize make = slot(Make)->sizeHint();
    const QSize refresh = slot(Refresh)->sizeHint();
    const int makeX = right - make.width();
    const int refreshX = makeX - buttonGap - refresh.width();
    const int popupW = std::max(0, refreshX - buttonGap - left);

    slot(Popup)->setGeometry(QRect(left, popupTop, popupW, popupH));
    // Centred on the pop-up's centre line.
    slot(Refresh)->setGeometry(QRect(refreshX, popupTop + (popupH - refresh.height()) / 2, refresh.width(),
                                     refresh.height()));
    slot(Make)->setGeometry(QRect(makeX, popupTop + (popupH - make.height()) / 2, make.width(), make.height()));

    const int logTop = popupTop + popupH + rowGap;
    slot(Log)->setGeometry(QRect(left, logTop, width, std::max(0, bottom - logTop)));
}

} // namespace sarnovelle
