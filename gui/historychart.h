#pragma once

#include <QList>
#include <QWidget>

#include "core/sendlog/sendlogstore.h"

// A small bar chart of the send log's rows per day: delivered in green, failed in red on top.
class HistoryChart : public QWidget
{
    Q_OBJECT
public:
    explicit HistoryChart(QWidget* parent = nullptr);
    void setDays(const QList<SendLogStore::DayCount>& days);
    const QList<SendLogStore::DayCount>& days() const { return m_days; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QList<SendLogStore::DayCount> m_days;
};
