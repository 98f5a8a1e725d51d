#pragma once

// Whether the readers apply the gain maps of the photos that have one (their HDR rendition, the
// default) or give the base picture alone, as SDR screens show it. One switch for the whole
// process: the viewer's key and the renderer's --gain-map set it; reads already under way
// keep the value they started with.
void setGainMapsApplied(bool applied);
bool gainMapsApplied();

// Makes gainMapsApplied() ask `query` instead: a reader module's copy of this library asks the
// program's.
void followGainMapSetting(bool (*query)());
