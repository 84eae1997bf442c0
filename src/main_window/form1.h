#pragma once
#include "platform/ui/controls.h"
#include "platform/ui/form.h"

// The main window: all browsing happens here. Its controls, in design order, and the
// handlers bound to their events.
namespace kv {

const FormDesign& form1Design();

class Form1 : public Form {
public:
    Form1();

    PictureButton SSCommand4{*this, "SSCommand4"}; // leave through the company window
    PictureButton SSCommand3{*this, "SSCommand3"}; // help
    PictureButton SSCommand2{*this, "SSCommand2"}; // print
    PictureButton SSCommand1{*this, "SSCommand1"}; // copy
    FileList File1{*this, "File1"};                // the category's figures
    CommandButton Command1{*this, "Command1"};     // "Cerrar"
    DriveList Drive1{*this, "Drive1"};
    DirList Dir1{*this, "Dir1"}; // the categories
    PictureBox Picture1{*this, "Picture1"};
    Image Image4{*this, "Image4"}; // title banner
    Image Image3{*this, "Image3"}; // mouse picture
    Label Label6{*this, "Label6"};
    Label Label5{*this, "Label5"}; // the label row over the buttons
    Label Label4{*this, "Label4"};
    Label Label3{*this, "Label3"};
    Label Label2{*this, "Label2"};
    Image Image2{*this, "Image2"}; // maker's emblem
    Image Image1{*this, "Image1"}; // mouse picture
    Label Label1{*this, "Label1"}; // the selected file's full path

    // Handlers, named after the control and the event.
    void Form_Load();
    void Drive1_Change();
    void Dir1_Change();
    void File1_Click();
    void SSCommand1_Click();                       // copy the picture
    void SSCommand2_Click();                       // print it
    void SSCommand3_Click();                       // help
    void SSCommand4_Click();                       // leave through the company window
    void Command1_Click();                         // "Cerrar"
    void Picture1_DblClick();                      // the figure whole, in a window of its own
    void Form_OLEDragDrop(const QByteArray& path); // a figure or folder dropped on the window

    // Opens a location given from outside (the command line, a drop) after the start, as a user
    // would: the drive that holds the folder, the folder, then a click on the file when
    // one is named and the file list shows it.
    void openLocation(const QString& folder, const QByteArray& fileName);
};

} // namespace kv
