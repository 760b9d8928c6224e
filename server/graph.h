#pragma once
// A large index's search graph (hnswlib) and its life: built from a dataset's rows by several
// threads without keeping writers out, extended as rows are appended, told of removed rows,
// built again when removed rows make up too much of it, and kept on disk beside the database,
// checked against the rows it covers when it is read back.

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "server/live_dataset.h"

namespace orvix_local {

// Graph (live_dataset.h) is defined where hnswlib is included, in graph.cpp alone: its headers
// define functions outside any inline, so a second file including them would not link.

// The positions of the query's k nearest rows by the index's ready graph, nearest first, when it
// has one free to search (a graph being changed is not waited for); nullopt otherwise. The
// caller holds the rows shared. Rows removed while the search ran are made up for.
std::optional<std::vector<std::size_t>> search_graph(LiveDataset& dataset, const IndexInfo& index,
                                                     const float* query, std::size_t k);

// Builds the index's graph from the dataset's rows into a new graph and puts it in the index's
// slot; rows appended and removed meanwhile are brought in first, under the dataset's
// write_mutex, which is held only for that. Nothing is done when the index has a graph ready or
// being built. False when `stop` was raised first (no graph is kept).
bool build_graph(LiveDataset& dataset, const IndexInfo& index, const std::atomic<bool>& stop);
// Adds rows just appended to every ready graph of the dataset, several threads at a time; the
// caller holds write_mutex. A graph left part-way by `stop` is dropped, to be built again.
void extend_graphs(LiveDataset& dataset, const std::vector<std::int64_t>& rows,
                   const std::atomic<bool>* stop = nullptr);
// Takes removed rows out of every graph of the dataset (ready, or being built). Returns the ids
// of the indices whose graphs now hold more removed rows than live ones allow (a quarter): they
// are to be built again.
std::vector<std::int64_t> forget_in_graphs(LiveDataset& dataset,
                                           const std::vector<std::int64_t>& rows);
// The index is gone: its graph is freed.
void drop_graph(LiveDataset& dataset, std::int64_t index_id);
// True, once, when a large index has no graph yet (after a restart, or once removed rows made it
// stale); the caller then has one loaded or built.
bool needs_graph(LiveDataset& dataset, const IndexInfo& index);
// Marks the index's graph as wanted again (it is replaced once the new one is ready).
void want_new_graph(LiveDataset& dataset, std::int64_t index_id);

// Keeping graphs on disk, in `directory`: the graph and what it covers (how many rows and a
// digest of their numbers). The caller holds the dataset's write_mutex, so the graph and the
// rows agree.
void save_graph(LiveDataset& dataset, std::int64_t index_id, const std::string& directory);
// Reads the index's graph back when it covers exactly the dataset's rows; false otherwise (none,
// damaged, or another set of rows), when it is to be built.
bool load_graph(LiveDataset& dataset, const IndexInfo& index, const std::string& directory);
void remove_saved_graph(std::int64_t index_id, const std::string& directory);

// True when the distance type is served by the graph.
bool uses_graph(const std::string& dist_type);
// Distance types the service knows.
bool known_distance(const std::string& dist_type);

}  // namespace orvix_local
