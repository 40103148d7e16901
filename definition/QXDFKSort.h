#pragma once
// "Sort tables by dependency": orders the recordset nodes directly below a database node so that every
// table comes after the tables its foreign keys reference, because destination records must be written
// parent table first or the database rejects them.
//
// The foreign keys come from the database (a schema recordset of kind Foreign Keys per table). A node's
// dependencies are the referenced tables, matched by name (letter case ignored) against the titles of the
// sibling recordset nodes. References to the table itself are ignored, and so are references to tables
// that have no recordset node below the same database node: such a table is never written by this node
// and cannot hold up the ones that reference it. Only a real cycle among the sibling tables is an error.
#include "definition/KVTreeModel.h"

// Gives every child of a source or destination database node its foreign-key level as SortOrder (0 for
// nodes that are not recordsets, for recordsets without a table or reading several tables, and for tables
// without dependencies; n+1 for a table whose deepest dependency has level n). Any other node: nothing
// happens and the result is false.
//
// The node's connection is opened when it is closed and returned to its previous state afterwards, also
// on error. Returns true when a level was assigned (the model has then been told that the node changed,
// which marks the document modified).
//
// Raises EKVException when tables depend on each other in a cycle; the levels assigned until then stay. Database errors of the
// foreign-key query pass on.
bool AssignFKSortOrderToSubnodes(TKVTreeItem& databaseNode);

class TQXDTreeView;

// The command: AssignFKSortOrderToSubnodes, then the children of the node are sorted by SortOrder
// ascending (equal levels keep their order). On error nothing is re-sorted. Returns whether levels were
// assigned.
bool QXDSortTablesByDependency(TQXDTreeView& tree, TKVTreeItem& databaseNode);
