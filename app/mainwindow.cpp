#include "mainwindow.h"
#include "ui_mainwindow.h"

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent)
    , form(new Ui::MainWindow)
{
    form->setupUi(this);
    form->spinBox->setSingleStep(2);
    setWindowTitle(QStringLiteral("Vireoscope"));
}

MainWindow::~MainWindow()
{
    delete form;
}

void MainWindow::on_load_clicked()
{
}

void MainWindow::on_spinBox_valueChanged(int arg1)
{
    Q_UNUSED(arg1);
}
