#pragma once

#include <QSpinBox>

// A numeric field with arrows whose text need not be a number: a text that is
// not an integer counts as the minimum, and setting, stepping or leaving the
// field brings the value into its range. A field whose minimum equals its
// maximum has no range.
class TSpinEdit : public QSpinBox {
    Q_OBJECT
public:
    explicit TSpinEdit(QWidget* parent = nullptr);

    void SetLimits(int minValue, int maxValue);
    int MinValue() const { return min_; }
    int MaxValue() const { return max_; }
    // The value of the text as it stands.
    int Value() const;
    // Shows a text as it is, number or not (the field settles it when left).
    void SetText(const QString& text);

protected:
    QValidator::State validate(QString& input, int& pos) const override;
    void fixup(QString& input) const override;
    int valueFromText(const QString& text) const override;

private:
    int min_ = 0;
    int max_ = 0;
};
