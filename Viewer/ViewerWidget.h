#pragma once

// GLEW must come before any header that pulls in gl.h.
#include <GL/glew.h>

#include "Texture.h"
#include "TextureUpload.h"
#include "ViewState.h"

#include <QGLWidget>
#include <QStringList>
#include <glm/vec2.hpp>
#include <glm/vec3.hpp>

#include <memory>
#include <vector>

class FileWatch;
class PictureLoader;
class QAction;
class QEventLoop;
class QTimer;
class Shader;

// "f-stop: 1.5, zoom: 25%, fps: 60": the overlay line of the information display.
QString infoLine(float fstop, float zoom, double rate);
// The share of a load done, drawn under its "loading" line: "42%", or "…" where the height
// is not known.
QString loadProgress(int rowsDone, int rowCount);

// The one window: the loaded pictures on the card and the whole view state. Every GL object
// it owns is released with its GL context current.
class ViewerWidget : public QGLWidget {
    Q_OBJECT
public:
    ViewerWidget();
    ~ViewerWidget() override;

    // Loads each existing file into its own picture, in order, and shows the first; reports
    // failures one box each as they happen and the missing files together at the end. Files
    // are decoded on a worker thread while the events go on; returns once the list is done,
    // or abandoned by Esc or a quit. Does nothing while a load runs.
    void open(const QStringList& files);
    // Whether open is at work; keys and drops that would change the pictures wait for it.
    bool isLoading() const { return loading; }
    // Reloads the shown picture whenever a new version of its file has settled on disk
    // (--watch, key w), keeping the view; a version that fails to load gives one box and the
    // last good picture stays. `fileWatch` is null while this is off.
    void setWatch(bool on);
    FileWatch* fileWatch = nullptr;
    // The most bytes one upload slice sends (0: as many as about 25 ms take); tests make the
    // slices small.
    std::size_t uploadSliceLimit = 0;

    // The view state, read and written by the input, opening and render units.
    QString workingDirectory;
    QStringList fileNames;
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
    // The curve the tone-map switch applies (T), false colour (F), the clipping flags (x), and
    // the exposure metered while the view turns (E) until a manual exposure change.
    ToneOperator toneOperator = ToneOperator::Reinhard;
    QAction* falseColourAction = nullptr;
    QAction* clippingAction = nullptr;
    QAction* followExposureAction = nullptr;
    // A short line at the top ("Tone operator: AgX"), shown until noteUntil (Stopwatch.h's
    // monotonic seconds).
    QString note;
    double noteUntil = 0.0;
    std::unique_ptr<Shader> shader;
    std::vector<std::unique_ptr<Texture>> textures;
    // While open reads the first picture of its list: a reduced copy of it, shown from its
    // decode until the picture itself is on the card, reduced previewFactor times from
    // previewWidth x previewHeight. Large pictures only: previewSide bounds the copy's sides.
    std::unique_ptr<Texture> preview;
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
    bool showRed = true;
    bool showGreen = true;
    bool showBlue = true;
    Projection projection = Projection::Sphere;
    int currentIndex = 0;
    float fstop = 0.0f;
    float fstopAtPress = 0.0f;
    // yaw, pitch, zoom and their copies at the last press; units depend on `projection`:
    // picture pixels in the flat view, degrees otherwise.
    float yaw = 0.0f;
    float pitch = 0.0f;
    float zoom = 0.0f;
    float yawAtPress = 0.0f;
    float pitchAtPress = 0.0f;
    float zoomAtPress = 0.0f;
    glm::vec3 velocity{0.0f, 0.0f, 0.0f};
    glm::vec2 pressPos{0.0f, 0.0f};
    int viewportWidth = 0;
    int viewportHeight = 0;

    // The current picture; throws std::out_of_range when there is none.
    const Texture& currentTexture() const { return *textures.at(currentIndex); }
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
    // A picture whose luminance statistics are gathered from its level 0 while its levels go
    // up (ViewerWidgetOpen.cpp).
    struct Gathering;
    struct LoadedLevels {
        LoadedLevels();
        LoadedLevels(LoadedLevels&&) noexcept;
        ~LoadedLevels();
        std::vector<Picture> levels;
        // The texture's storage when it was made while the file was read (a RADIANCE header
        // tells the size first), and the buffer its upload goes through; else null.
        std::unique_ptr<Texture> texture;
        std::unique_ptr<UploadBuffer> buffer;
        // With mip levels: the worker, still gathering the statistics from levels[0].
        std::unique_ptr<Gathering> gathering;
    };
    // Decodes one file on a worker thread and waits in an event loop of its own; returns the
    // levels, or nothing once the load is abandoned. Throws the reader's errors.
    // `withPreview` asks a large picture's reduced copy for `preview`.
    LoadedLevels loadLevels(const QString& name, const SizeLimit& limit, bool mipmapped,
                            bool withPreview);
    // A gathering's statistics have come: on its texture, and the level 0 it read let go.
    void statisticsGathered(Gathering& gathering);
    // Whether the open under way has every level on the card and every gathering's statistics
    // on its texture.
    bool loadSettled() const;
    // Whether the texture's statistics are still being gathered: they come a moment after its
    // levels.
    bool isGathering(const Texture& texture) const;
    // The loader's reduced copy as `preview`, painted next; a failure only loses it.
    void showPreview(PictureLoader& worker);
    void dropPreview();
    // Esc, or a quit, during a load: the worker is asked to stop and the list is given up.
    void abandonLoad();
    // Open hand over a flat picture (it can be dragged), the arrow otherwise.
    void applyHandCursor();
    // Loads the current picture again from its file; one that fails leaves the set.
    void reloadCurrent();
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
    bool loading = false;
    bool loadAbandoned = false;
    // The worker and its loop while a file loads; null otherwise.
    PictureLoader* loader = nullptr;
    QEventLoop* loaderLoop = nullptr;
    // The statistics still gathered during an open, whether its upload queue is empty, and the
    // loop that waits for both at its end.
    std::vector<std::unique_ptr<Gathering>>* gatherings = nullptr;
    bool uploadsDone = true;
    QEventLoop* uploadLoop = nullptr;
    // Whether the frame under way is one the window system asked for.
    bool paintingForWindow = false;
};
