#include "ViewerWidget.h"

#include "Version.h"

#include <QMessageBox>

namespace {

const char* const webSite = "<a href=\"https://www.marovex.example/\">www.marovex.example</a>";

QString glString(GLenum name) {
    const GLubyte* text = glGetString(name);
    return text == nullptr ? QString() : QString::fromUtf8(reinterpret_cast<const char*>(text));
}

} // namespace

void ViewerWidget::showHelp() {
    const QString help =
        QString("<html><style type=\"text/css\">table td {padding-right: 10px;}</style><body>"
                "<h3>Marovex Viewer Help</h3>") +
        webSite +
        "<table><tr></tr>"
        "<tr><th colspan=\"2\" align=\"left\">Basic panorama viewing</th></tr>"
        "<tr><td>Open image</td><td>press <b>o</b> or use drag&amp;drop</td></tr>"
        "<tr><td>Look around</td><td>press left mouse button and move mouse</td></tr>"
        "<tr><td>Zoom in or out</td>"
        "<td>use mouse wheel, or press <b>+</b>&nbsp;or&nbsp;<b>-</b></td></tr>"
        "<tr><td>Toggle full screen mode</td><td>press <b>f</b></td></tr>"
        "<tr><td>Quit</td><td>press <b>q</b> or <b>ESC</b></td></tr>"
        "<tr></tr>"
        "<tr><th colspan=\"2\" align=\"left\">For HDR images only:</th></tr>"
        "<tr><td>Adjust brightness</td><td>press right mouse button and use mouse wheel, or "
        "press <b>,</b>&nbsp;or&nbsp;<b>.</b></td></tr>"
        "<tr><td>Toggle tone-mapping</td><td>press <b>t</b></td></tr>"
        "<tr></tr>"
        "<tr><th colspan=\"2\" align=\"left\">Other keyboard commands</th></tr>"
        "<tr><td>Toggle image info</td><td>press <b>i</b></td></tr>"
        "<tr><td>Toggle projection</td><td>press <b>p</b></td></tr>"
        "<tr><td>Display color channel</td><td>press <b>r</b>, <b>g</b>, <b>b</b></td></tr>"
        "<tr><td>Reset color channels</td><td>press <b>c</b></td></tr>"
        "<tr></tr>"
        "<tr><th colspan=\"2\" align=\"left\">Readout and statistics</th></tr>"
        "<tr><td>Toggle the pixel readout under the pointer</td><td>press <b>v</b></td></tr>"
        "<tr><td>Toggle the luminance histogram and statistics</td><td>press <b>H</b></td></tr>"
        "<tr></tr>"
        "<tr><th colspan=\"2\" align=\"left\">Exposure and tone</th></tr>"
        "<tr><td>Auto exposure for the current view</td><td>press <b>e</b></td></tr>"
        "<tr><td>Keep auto exposure while the view turns</td><td>press <b>E</b></td></tr>"
        "<tr><td>Next tone operator (Reinhard, ACES filmic, AgX, PBR Neutral)</td>"
        "<td>press <b>T</b></td></tr>"
        "<tr><td>Toggle false colour of luminance</td><td>press <b>F</b></td></tr>"
        "<tr><td>Toggle clipped pixels (red over white, blue under black)</td>"
        "<td>press <b>x</b></td></tr>"
        "<tr><td>Toggle gain maps (HDR rendition or the base picture SDR screens show)</td>"
        "<td>press <b>G</b></td></tr>"
        "<tr></tr>"
        "<tr><th colspan=\"2\" align=\"left\">Files</th></tr>"
        "<tr><td>Reload the image whenever its file changes</td><td>press <b>w</b></td></tr>"
        "</table></body></html>";
    QMessageBox::information(this, tr("Help"), help, QMessageBox::Ok);
}

QList<QAction*> ViewerWidget::menuActions() const {
    return actions() + viewActions;
}

void ViewerWidget::showAbout() {
    QString text = QString("<center><h4>Marovex Viewer</h4>") + tr("Version: ") + VERSION;
    if (standalone) {
        text += "<br/>" + tr("stand-alone application");
    }
    text += "<br><br>" + tr("OpenGL Info:") + "<br>" + glString(GL_RENDERER) + "<br>" +
            glString(GL_VERSION) +
            "<br/><br/>This software is based in part on the <br/>work of the Independent JPEG "
            "Group." +
            "<br><br>" + webSite;
    if (standalone) {
        text += "<br/>" + tr("Distribute freely!");
    }
    text += "</center>";
    QMessageBox::about(this, tr("About"), text);
}
