#pragma once

// GLEW must come before any header that pulls in gl.h.
#include <GL/glew.h>

#include "PictureSet.h"
#include "Texture.h"
#include "ViewState.h"

#include <QDateTime>
#include <QGLWidget>
#include <QStringList>
#include <glm/vec2.hpp>
#include <glm/vec3.hpp>

#include <cstddef>
#include <deque>
#include <memory>
#include <vector>

class FileWatch;
class LoadJob;
class PictureProber;
class QAction;
class QTimer;
class Shader;

// "f-stop: 1.5, zoom: 25%, fps: 60": the overlay line of the information display.
QString infoLine(float fstop, float zoom, double rate);
// The share of a load done, drawn under its "loading" line: "42%", or "…" where the height
// is not known.
QString loadProgress(int rowsDone, int rowCount);

// A fresh window's view: no zoom until a picture sets it.
inline ViewState initialView() {
    ViewState view;
    view.zoom = 0.0f;
    return view;
}

// The one window: the loaded pictures on the card and the whole view state. Every GL object
// it owns is released with its GL context current.
class ViewerWidget : public QGLWidget {
    Q_OBJECT
public:
    ViewerWidget();
    ~ViewerWidget() override;

    // Replaces the set with the existing files of the list, in order, and returns at once:
    // the files load one after the other in the background, the first shown as soon as it is
    // read; failures are reported one box each in the list's order, and the missing files
    // together after them. Every load (open, drop, R, the watch) goes through one queue,
    // collected between frames.
    void open(const QStringList& files);
    // Whether a load is queued or running, or an open still has boxes to show.
    bool isLoading() const;
    // Whether no thread of a load runs, a given-up one included: destroying the widget then
    // waits for none.
    bool loadsIdle() const;
    // Reloads the shown picture whenever a new version of its file has settled on disk
    // (--watch, key w), keeping the view; a version that fails to load gives one box and the
    // last good picture stays. `fileWatch` is null while this is off.
    void setWatch(bool on);
    FileWatch* fileWatch = nullptr;
    // The most bytes one upload slice sends (0: as many as about 25 ms take); tests make the
    // slices small.
    std::size_t uploadSliceLimit = 0;
    // The card's bytes the resident pictures may take (--memory-budget, the setting
    // "memory_budget" in megabytes; by default a quarter of the machine's memory, or the
    // card's own where the driver tells it and it is less). The shown picture stays whatever
    // its size.
    std::size_t residentBudget = 0;
    // A budget given on the command line or in the settings, which the card's memory leaves.
    void setResidentBudget(std::size_t bytes);

    // The view state, read and written by the input, opening and render units.
    QString workingDirectory;
    // The pictures opened; `currentIndex` is the shown one.
    PictureSet pictures;
    QStringList fileNames() const { return pictures.fileNames(); }
    QString message;
    // The share done of the load under way, drawn under `message`; empty otherwise.
    QString progress;
    QTimer* timer = nullptr;
    QAction* openAction = nullptr;
    QAction* fullscreenAction = nullptr;
    QAction* autoRotateAction = nullptr;
    QAction* tonemapAction = nullptr;
    // Toggles of what the view shows, listed in the context menu after the widget's own
    // actions (which stay the seven of the menu's first part), from a separator on.
    QList<QAction*> viewActions;
    // The readout under the pointer (v) and the histogram panel (H).
    QAction* readoutAction = nullptr;
    QAction* histogramAction = nullptr;
    // The pointer's last window position while it is over the widget; the readout line last
    // drawn, empty when none is shown.
    QPoint pointer;
    bool pointerInside = false;
    QString readoutText;
    // False colour (F), the clipping flags (x), and the exposure metered while the view turns
    // (E) until a manual exposure change; the curve tone mapping applies (T) is the view's.
    QAction* falseColourAction = nullptr;
    QAction* clippingAction = nullptr;
    // Checked: photos with a gain map show their HDR rendition; unchecked, their base picture.
    QAction* gainMapAction = nullptr;
    QAction* followExposureAction = nullptr;
    // A short line at the top ("Tone operator: AgX"), shown until noteUntil (Stopwatch.h's
    // monotonic seconds).
    QString note;
    double noteUntil = 0.0;
    std::unique_ptr<Shader> shader;
    // While the shown entry is read: a reduced copy of it, shown from its decode until the
    // picture itself is on the card, reduced previewFactor times from previewWidth x
    // previewHeight. Large pictures only: previewSide bounds the copy's sides.
    std::unique_ptr<Texture> preview;
    PictureMetadata previewMetadata;
    int previewId = 0;
    int previewFactor = 1;
    int previewWidth = 0;
    int previewHeight = 0;
    int previewSide = 1024;
    bool showInfo = false;
    // Frames the window system asks for go out without text while this holds: the first text
    // costs the driver tens of milliseconds (fonts, glyph code), so the window's first frame
    // shows without it and the next turn of the event loop draws it. Frames drawn with updateGL
    // always have their text.
    bool textHeld = true;
    // Whether the end of textHeld is on its way, and whether a frame left out text meanwhile.
    bool textRelease = false;
    bool textWithheld = false;
    int currentIndex = 0;
    float fstopAtPress = 0.0f;
    // The view: yaw, pitch (picture pixels in the flat view, degrees otherwise), zoom, f-stop,
    // projection, tone operator, channels and the viewport's size. The switches that are
    // actions (tone mapping, false colour, clipping) are their check marks: viewState() adds
    // them. The zoom is 0 until a picture sets it.
    ViewState view = initialView();
    // yaw, pitch and zoom at the last press.
    float yawAtPress = 0.0f;
    float pitchAtPress = 0.0f;
    float zoomAtPress = 0.0f;
    glm::vec3 velocity{0.0f, 0.0f, 0.0f};
    glm::vec2 pressPos{0.0f, 0.0f};

    // Whether the current entry's picture is on the card.
    bool showing() const;
    // The current picture; throws std::out_of_range when none is on the card.
    const Texture& currentTexture() const;
    // The current entry's metadata, also while its picture is off the card.
    const PictureMetadata& currentMetadata() const;
    // The window title of the current picture: its file name, and ":layer" for a picture
    // taken from one part or layer of a file.
    QString pictureTitle() const;
    // The smallest zoom the current picture allows in the current projection.
    float minZoom() const;
    // The view fields as drawView takes them.
    ViewState viewState() const;
    // The view of the preview as the picture's first view will be: its default projection at
    // the lowest zoom, f-stop 0, the display modes as they are.
    ViewState previewView() const;
    // What the context menu lists: actions(), then viewActions.
    QList<QAction*> menuActions() const;

public slots:
    bool open();
    void setFullscreen(bool on);
    void setAutoRotate(bool on);
    void setTonemap(bool on);
    void tick();
    void setZoom(float requested);
    void updateZoom();
    void showHelp();
    void showAbout();

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void initializeGL() override;
    void resizeGL(int w, int h) override;
    void paintGL() override;
    void paintEvent(QPaintEvent* event) override;

private:
    // What a queued load is for: a picture of the set to show (opened, or stepped to while
    // not on the card), the shown picture again from its file (R), or the watched file's new
    // version.
    // A prefetch reads a picture of the list ahead of its showing while it fits the budget; a
    // neighbour of the shown picture is read ahead whatever the budget, the longest unused
    // pictures making room.
    enum class LoadKind { Show, Prefetch, Neighbour, Reload, Watch };
    struct LoadRequest {
        int id = 0;
        LoadKind kind = LoadKind::Show;
    };
    // A name of the opened list and what became of it, for the boxes in the list's order.
    struct ListOutcome {
        enum class State { Pending, Loaded, Failed, Missing };
        int id = 0;
        QString name;
        State state = State::Pending;
        QString error;
    };
    // The next queued load, once none runs; posted, it starts in the next turn.
    void startNextLoad();
    void postNextLoad();
    void loadVisible();
    // The running job's picture on the entry, in place of any it had.
    void installTexture(int index);
    void loadFinished();
    void loadFailed();
    // The running job goes once its own message is done; the next load starts.
    void retireLoad();
    // Every queued and running load given up; entries that never showed leave the set.
    void cancelLoads();
    void queueLoad(int id, LoadKind kind, bool first = false);
    void listOutcome(int id, ListOutcome::State state, const QString& error = QString());
    // The boxes of the opened list whose turn has come, in its order.
    void reportOutcomes();
    // The current entry: the view of a newly shown list, the "loading" line, the title.
    void resetView();
    void announceLoad(const PictureEntry& entry);
    void removeEntry(int index);
    // Makes the entry the shown one; read again first where it is not on the card.
    void showEntry(int index);
    // The header of a list's picture that is not read ahead, judged on the prober's thread.
    void probe(int index);
    void probed(int id, const QString& error);
    // Whether one more picture like the last one fits the memory budget; the longest unshown
    // pictures leave the card until the resident ones fit it.
    bool fitsBudget() const;
    void keepBudget();
    // The pictures before and after the shown one, in the opened list and in its folder, read
    // ahead so that a step shows them at once.
    void prefetchNeighbours();
    void prefetch(int index);
    // The folder's pictures (ViewerWidgetFolder.cpp): its readable files in natural order,
    // listed again when it changes; the entry of a path, made as a browsed one where asked;
    // the picture `steps` away from the shown one (or the first or last); the arrow, page,
    // Home and End keys; folders of an open's list replaced by their pictures.
    enum class FolderEnd { None, First, Last };
    QStringList folderPictures(const QString& folder);
    int entryOf(const QString& path, bool browse);
    QString folderStep(long steps, FolderEnd end);
    void stepInFolder(long steps, FolderEnd end);
    void prefetchFolderNeighbours();
    bool folderKey(int key);
    QStringList expandFolders(const QStringList& files);
    // The index of the next (1) or previous (-1) picture of the opened list, browsed ones
    // passed by; the shown one where there is no other.
    int listNeighbour(int direction) const;
    // Whether the texture's statistics are still being gathered: they come a moment after its
    // levels.
    bool isGathering(const Texture& texture) const;
    // The running job's reduced copy as `preview`, painted next; a failure only loses it.
    void showPreview();
    void dropPreview();
    // Esc during a load: the loads are given up; the pictures shown stay.
    void abandonLoad();
    // Open hand over a flat picture (it can be dragged), the arrow otherwise.
    void applyHandCursor();
    // Loads the current picture again from its file, keeping the view; one that fails leaves
    // the set.
    void reloadCurrent();
    // Reads every photo with a gain map again as the gain-map switch now says: the shown one
    // at once, the others when next shown.
    void rereadGainMaps();
    // The watched file's new version in place of the shown picture (ViewerWidgetWatch.cpp).
    void reloadWatched(const QString& path);
    void reloadShader();
    // The readout and histogram (ViewerWidgetOverlays.cpp): their actions and mouse tracking,
    // the pointer's moves, and their drawing at the end of paintGL.
    void addOverlayActions();
    void trackPointer(const QPoint& position);
    void drawOverlays();
    // Tone operators, false colour, clipping and auto-exposure (ViewerWidgetDisplay.cpp): their
    // actions, the keys' work, the followed exposure's step in paintGL and the legend and note
    // drawn at its end.
    void addDisplayActions();
    void showNote(const QString& text);
    void selectNextToneOperator();
    void meterExposure();
    void stopFollowingExposure();
    void followMeteredExposure();
    void drawDisplayOverlays();

    // When the followed exposure last stepped; 0 once it has settled.
    double followStepAt = 0.0;
    std::deque<LoadRequest> loadQueue;
    std::unique_ptr<LoadJob> job;
    std::unique_ptr<PictureProber> prober;
    // A start of the next load is on its way.
    bool startPosted = false;
    // Loads given up whose threads still run, destroyed once they have ended.
    std::vector<std::unique_ptr<LoadJob>> abandoned;
    QTimer* reapTimer = nullptr;
    void reapLoads();
    LoadRequest jobRequest;
    std::vector<ListOutcome> outcomes;
    std::size_t reported = 0;
    bool reporting = false;
    // The current entry shows with a fresh view once its picture is there.
    bool viewResetPending = false;
    QTimer* progressTimer = nullptr;
    bool budgetGiven = false;
    QStringList folderListing;
    QString listedFolder;
    QDateTime listedAt;
    // The card's bytes of the picture that came last, the guess for the next one's.
    std::size_t lastTextureBytes = 0;
    // Whether the frame under way is one the window system asked for.
    bool paintingForWindow = false;
};
