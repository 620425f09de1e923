#include "gui/historychart.h"

#include <QPainter>

HistoryChart::HistoryChart(QWidget* parent)
    : QWidget(parent)
{
    setObjectName(QStringLiteral("HistoryChart"));
    setMinimumHeight(90);
}

void HistoryChart::setDays(const QList<SendLogStore::DayCount>& days)
{
    m_days = days;
    int total = 0;
    int bounced = 0;
    for (const SendLogStore::DayCount& d : m_days) {
        total += d.delivered + d.failed;
        bounced += d.bounced;
    }
    setToolTip(QStringLiteral("Deliveries a day over the last %1 days: %2 in all, %3 bounces and complaints").arg(m_days.size()).arg(total).arg(bounced));
    update();
}

void HistoryChart::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    const QFontMetrics metrics = fontMetrics();
    const QRect area = rect().adjusted(2, metrics.height() + 2, -2, -metrics.height() - 2);
    p.fillRect(rect(), palette().base());
    p.setPen(palette().mid().color());
    p.drawRect(rect().adjusted(0, 0, -1, -1));
    if (m_days.isEmpty() || area.height() < 4)
        return;
    int highest = 1;
    for (const SendLogStore::DayCount& d : m_days)
        highest = qMax(highest, qMax(d.delivered + d.failed, d.bounced));
    const double slot = double(area.width()) / m_days.size();
    for (qsizetype i = 0; i < m_days.size(); ++i) {
        const SendLogStore::DayCount& d = m_days[i];
        const int x = area.left() + int(i * slot) + 1;
        const int w = qMax(1, int(slot) - 2);
        const int delivered = int(double(d.delivered) / highest * area.height());
        const int failed = int(double(d.failed) / highest * area.height());
        p.fillRect(x, area.bottom() - delivered, w, delivered, QColor(0x3c, 0x9a, 0x5f));
        p.fillRect(x, area.bottom() - delivered - failed, w, failed, QColor(0xc8, 0x3c, 0x3c));
    }
    // Bounces received each day: an orange mark over the bars, at its height.
    bool anyBounce = false;
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0xe0, 0x8a, 0x1e));
    for (qsizetype i = 0; i < m_days.size(); ++i) {
        if (m_days[i].bounced <= 0)
            continue;
        anyBounce = true;
        const QPoint at(area.left() + int((i + 0.5) * slot), area.bottom() - int(double(m_days[i].bounced) / highest * area.height()));
        p.drawEllipse(at, 4, 4);
    }
    p.setPen(palette().text().color());
    p.drawText(QRect(4, 1, width() - 8, metrics.height()), Qt::AlignLeft,
               QStringLiteral("Deliveries a day, last %1 days (most: %2)%3").arg(m_days.size()).arg(highest)
                   .arg(anyBounce ? QStringLiteral("; bounces in orange") : QString()));
    p.drawText(QRect(4, height() - metrics.height() - 1, width() - 8, metrics.height()), Qt::AlignLeft,
               m_days.first().day.toString(QStringLiteral("yyyy-MM-dd")));
    p.drawText(QRect(4, height() - metrics.height() - 1, width() - 8, metrics.height()), Qt::AlignRight,
               m_days.last().day.toString(QStringLiteral("yyyy-MM-dd")));
}
