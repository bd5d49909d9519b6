#pragma once

#include <QObject>
#include <QString>

class QLineEdit;

namespace vendrill {

// Typing limit of an edit, counted in code page 949 bytes. It governs what
// the user enters (typing, pasting); text that the program writes into the
// edit is not cut, and an over-long text may still be shortened.
class EditLimit : public QObject {
    Q_OBJECT
public:
    explicit EditLimit(QLineEdit* edit);

    void SetLimit(int bytes) { m_limit = bytes; }  // 0: no limit
    int Limit() const { return m_limit; }

private:
    void OnTextChanged(const QString& text);
    void OnTextEdited(const QString& text);

    QLineEdit* m_edit;
    int m_limit = 0;
    QString m_Current;  // the edit's text as last reported
};

}  // namespace vendrill
