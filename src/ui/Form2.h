#pragma once
// The credentials dialog: tracker login, password, database set and database.
#include <QWidget>

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace swn {

class Form1;

class Form2 : public QWidget {
    Q_OBJECT
public:
    explicit Form2(Form1& main);

    // Fills the dialog from the settings file and the tracker, then shows it.
    void Form_Load();
    void BTLoginID_LostFocus();
    void BTPassword_LostFocus();
    void BTDatabase_GotFocus();
    void LoadDatabaseList();
    void OKButton_Click();
    void CancelButton_Click();

    QLineEdit* BTLoginID = nullptr;
    QLineEdit* BTPassword = nullptr;
    QComboBox* BTDBSet = nullptr;
    QComboBox* BTDatabase = nullptr;
    QLabel* BTCredentailsLabel = nullptr;
    QLabel* LoginIDLabel = nullptr;
    QLabel* PasswordLabel = nullptr;
    QLabel* RepoLabel = nullptr;
    QLabel* DBLabel = nullptr;
    QPushButton* OKButton = nullptr;
    QPushButton* CancelButton = nullptr;
    QLabel* Picture3 = nullptr;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void warnInvalidCredentials();
    // Empties the list but keeps what the box shows.
    void clearDatabaseList();

    Form1& main_;
};

} // namespace swn
