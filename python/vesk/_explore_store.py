"""The store of an exploration: a zarr directory that xarray opens
(xarray.open_zarr) with one chunk, and so one file, per point and
variable. Every file is written whole or not at all (written beside and
renamed), and a point's flag in "done" is written after its values, so a
process killed at any moment leaves only whole points flagged done."""

import json
import os
import shutil
import uuid

import numpy as np

DIMS = "_ARRAY_DIMENSIONS"  # where xarray finds an array's dims in zarr
IDENTITY = "vesk_explore"
# What a store is checked against, in the order the checks are reported.
CHECKS = (("vesk_version", "version of vesk"), ("contract", "contract"), ("grid", "grid"),
          ("scenarios", "set of scenarios"), ("run", "run settings"), ("summary", "summary"))


class Store:
    """An open store: `done` (bool, the grid's shape by scenario), and the
    values of the points done."""

    def __init__(self, path, group, dims):
        self.path, self.group, self.dims = path, group, dims
        self.done = group["done"][...].astype(bool)

    @classmethod
    def open(cls, path, identity, dims, shape, coords, attrs):
        """The store at `path`, made there if it is missing or an empty
        folder. coords: {name: (dims, values)}. Raises ValueError for a
        store made for anything else than `identity`."""
        import zarr
        if not os.path.exists(path) or (os.path.isdir(path) and not os.listdir(path)):
            _create(path, identity, dims, shape, coords, attrs)
        try:
            group = zarr.open_group(zarr.DirectoryStore(path), mode="r+")
            found = json.loads(group.attrs[IDENTITY])
        except Exception:  # noqa: BLE001 (any unreadable store is refused alike)
            raise ValueError(f"store {path}: not a store of vesk.explore; give a new path "
                             "or an empty folder") from None
        for key, what in CHECKS:
            if found.get(key) != identity[key]:
                shown = (f" ({found.get(key)}, not {identity[key]})"
                         if key == "vesk_version" else "")
                raise ValueError(f"store {path} was made for another {what}{shown}; give "
                                 "another store, or delete it to start again")
        return cls(path, group, dims)

    def values(self):
        """{name: (summary dims, values, {dim: coordinate values})} stored."""
        out = {}
        for name, array in self.group.arrays():
            if not array.attrs.get("summary"):
                continue
            own = tuple(array.attrs[DIMS][len(self.dims):])
            coords = {d: self.group[d][...] for d in own if d in self.group}
            out[name] = (own, array[...], coords)
        return out

    def write(self, finished, values):
        """Stores the finished points' values (from `values`, the arrays of
        explore), then flags them done."""
        lead = self.done.shape
        for name, (own, full, coords) in values.items():
            if not _whole(self.group, name, "summary"):
                self._create_variable(name, own, full, coords)
            array = self.group[name]
            for point, _summary in finished:
                index = np.unravel_index(point, lead)
                array[index] = full[index]
        done = self.group["done"]
        for point, _summary in finished:
            done[np.unravel_index(point, lead)] = True

    def _create_variable(self, name, own, full, coords):
        lead = self.done.shape
        # An array is made, then given its attributes: one that lacks them
        # was cut short and holds nothing yet (variables are made before any
        # point is flagged done), so it is made again.
        for dim, values in coords.items():
            if not _whole(self.group, dim, DIMS):
                self.group.create_dataset(dim, data=values, overwrite=True)
                self.group[dim].attrs[DIMS] = [dim]
        fill = np.nan if full.dtype.kind == "f" else 0
        array = self.group.create_dataset(name, shape=full.shape, dtype=full.dtype,
                                          chunks=(1,) * len(lead) + full.shape[len(lead):],
                                          fill_value=fill, overwrite=True)
        array.attrs.update({DIMS: list(self.dims) + list(own), "summary": True})


def _whole(group, name, attribute):
    return name in group and attribute in group[name].attrs


def _create(path, identity, dims, shape, coords, attrs):
    """Makes the store beside `path` and renames it into place, so that a
    store is there whole or not at all."""
    import zarr
    partial = f"{path.rstrip(os.sep)}.partial-{uuid.uuid4().hex}"
    try:
        group = zarr.open_group(zarr.DirectoryStore(partial), mode="w")
        for name, (coord_dims, values) in coords.items():
            group.create_dataset(name, data=np.asarray(values))
            group[name].attrs[DIMS] = list(coord_dims)
        done = group.create_dataset("done", shape=shape, dtype=bool, chunks=(1,) * len(shape),
                                    fill_value=False)
        done.attrs[DIMS] = list(dims)
        group.attrs.update({**attrs, IDENTITY: json.dumps(identity, sort_keys=True)})
        if os.path.isdir(path):
            os.rmdir(path)  # empty, checked by the caller
        os.rename(partial, path)
    finally:
        shutil.rmtree(partial, ignore_errors=True)
