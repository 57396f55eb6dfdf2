#include "shell/SpinEdit.h"

#include <QLineEdit>

#include <climits>

TSpinEdit::TSpinEdit(QWidget* parent) : QSpinBox(parent)
{
    setCorrectionMode(QAbstractSpinBox::CorrectToNearestValue);
    SetLimits(0, 0);
}

void TSpinEdit::SetLimits(int minValue, int maxValue)
{
    min_ = minValue;
    max_ = maxValue;
    if (minValue == maxValue)
        setRange(INT_MIN, INT_MAX);
    else
        setRange(minValue, maxValue);
}

int TSpinEdit::Value() const
{
    bool ok = false;
    const int value = text().trimmed().toInt(&ok);
    return ok ? value : min_;
}

void TSpinEdit::SetText(const QString& text)
{
    lineEdit()->setText(text);
}

QValidator::State TSpinEdit::validate(QString& input, int&) const
{
    bool ok = false;
    const int value = input.trimmed().toInt(&ok);
    if (ok && value >= minimum() && value <= maximum())
        return QValidator::Acceptable;
    // Anything may be typed; leaving the field settles it.
    return QValidator::Intermediate;
}

void TSpinEdit::fixup(QString& input) const
{
    bool ok = false;
    int value = input.trimmed().toInt(&ok);
    if (!ok)
        value = min_;
    input = QString::number(qBound(minimum(), value, maximum()));
}

int TSpinEdit::valueFromText(const QString& text) const
{
    bool ok = false;
    const int value = text.trimmed().toInt(&ok);
    return ok ? value : min_;
}
