// The compiled-in copy of installer/resources/MainWindow.ui, used when the
// bundle has no readable interface file (tests, unusual layouts). Keep it
// byte-for-byte equal to the file; a test compares them.
#include <string_view>

namespace platform::ui_internal {

std::string_view builtInMainWindowInterface() {
    static constexpr std::string_view kInterface = R"ui(<?xml version="1.0" encoding="UTF-8"?>
<!-- The installer's main window: icon on the left; status line, progress bar
     and the (initially hidden) quit button on the right. -->
<interface>
  <requires lib="gtk+" version="3.20"/>
  <object class="GtkWindow" id="mainWindow">
    <property name="can-focus">False</property>
    <property name="title">Installer</property>
    <property name="resizable">False</property>
    <property name="width-request">420</property>
    <property name="height-request">180</property>
    <property name="window-position">center</property>
    <child>
      <object class="GtkBox" id="contentBox">
        <property name="visible">True</property>
        <property name="can-focus">False</property>
        <property name="orientation">horizontal</property>
        <property name="spacing">16</property>
        <property name="margin-start">12</property>
        <property name="margin-end">12</property>
        <property name="margin-top">12</property>
        <property name="margin-bottom">12</property>
        <child>
          <object class="GtkImage" id="appIcon">
            <property name="visible">True</property>
            <property name="can-focus">False</property>
            <property name="width-request">96</property>
            <property name="height-request">96</property>
            <property name="valign">center</property>
          </object>
          <packing>
            <property name="expand">False</property>
            <property name="fill">False</property>
          </packing>
        </child>
        <child>
          <object class="GtkBox" id="detailBox">
            <property name="visible">True</property>
            <property name="can-focus">False</property>
            <property name="orientation">vertical</property>
            <property name="spacing">12</property>
            <property name="hexpand">True</property>
            <property name="valign">center</property>
            <child>
              <object class="GtkLabel" id="statusText">
                <property name="visible">True</property>
                <property name="can-focus">False</property>
                <property name="label"></property>
                <property name="xalign">0</property>
                <property name="ellipsize">end</property>
                <property name="single-line-mode">True</property>
                <property name="width-chars">20</property>
                <property name="max-width-chars">20</property>
                <property name="hexpand">True</property>
              </object>
              <packing>
                <property name="expand">False</property>
                <property name="fill">True</property>
              </packing>
            </child>
            <child>
              <object class="GtkProgressBar" id="progressView">
                <property name="visible">True</property>
                <property name="can-focus">False</property>
                <property name="show-text">False</property>
                <property name="pulse-step">0.08</property>
                <property name="hexpand">True</property>
              </object>
              <packing>
                <property name="expand">False</property>
                <property name="fill">True</property>
              </packing>
            </child>
            <child>
              <object class="GtkButton" id="quitButton">
                <property name="label">Quit</property>
                <property name="visible">False</property>
                <property name="can-focus">True</property>
                <property name="receives-default">True</property>
                <property name="halign">end</property>
              </object>
              <packing>
                <property name="expand">False</property>
                <property name="fill">False</property>
              </packing>
            </child>
          </object>
          <packing>
            <property name="expand">True</property>
            <property name="fill">True</property>
          </packing>
        </child>
      </object>
    </child>
  </object>
</interface>
)ui";
    return kInterface;
}

}  // namespace platform::ui_internal
