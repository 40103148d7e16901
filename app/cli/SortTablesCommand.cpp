// sort-tables: "Sort tables by dependency" on one database node of a document, without the GUI.
#include <iostream>

#include "app/cli/CliCommands.h"
#include "definition/QXDFKSort.h"
#include "definition/QXDocument.h"
#include "foundation/KVExceptions.h"

namespace {

const char* kSortTablesUsage =
    "Usage: dabrix-cli sort-tables DOC NODEPATH [-o OUT]\n"
    "\n"
    "Orders the recordset nodes below one database node of the reorganization definition DOC so that\n"
    "every table comes after the tables its foreign keys reference (parent tables are written first).\n"
    "The foreign keys are read from the database, so the node's connection must open.\n"
    "\n"
    "NODEPATH names the source or destination database node by the titles from the top level down,\n"
    "joined with \".\" (for example \"Source.customers.Destination\"; letter case is ignored).\n"
    "\n"
    "The document is saved afterwards: to OUT when given (format by its extension, .qxt or .qxs;\n"
    "written completely or not at all), else into DOC. Prints the nodes in their new order with their\n"
    "levels. Tables that reference each other in a cycle stop the command with \"Cyclic foreign key\n"
    "dependencies\" and nothing is saved. Exit codes: 0 done, 1 failed, 2 wrong arguments.\n";

}  // namespace

static int CliSortTables(const std::vector<std::string>& args) {
  std::vector<std::string> positional;
  std::string out;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "-o" || args[i] == "--output") {
      if (i + 1 >= args.size()) throw TCliUsageError{"-o needs a file name"};
      out = args[++i];
    } else if (args[i].size() > 1 && args[i][0] == '-') {
      throw TCliUsageError{"unknown option \"" + args[i] + "\""};
    } else {
      positional.push_back(args[i]);
    }
  }
  if (positional.size() != 2) throw TCliUsageError{"expected DOC and NODEPATH"};
  const std::string& docName = positional[0];
  const std::string& path = positional[1];

  try {
    auto document = KVMakeRef<TQXDocument>();
    if (!document->LoadFromFile(docName))
      throw EKVException("File not found: \"" + docName + "\"", nullptr, "CliSortTables");
    TKVTreeItem* node = QXDFindNodeByPath(document->Tree(), path);
    if (!node) throw EKVException("No node with the path \"" + path + "\"", nullptr, "CliSortTables");
    if (!node->DataAs<TQXDConnectionData>())
      throw EKVException("The node \"" + path + "\" is not a database node", nullptr, "CliSortTables");

    QXDSortTablesByDependency(document->Tree(), *node);
    for (size_t i = 0; i < node->ChildCount(); ++i) {
      TQXDDataBase* data = QXDData(node->Child(i));
      std::cout << (data ? data->SortOrder() : 0) << "\t" << node->Child(i)->Title() << "\n";
    }
    if (!out.empty())
      document->SaveAs(out);
    else
      document->Save();
  } catch (const std::exception& e) {
    CliPrintError(e);
    return kExitFailed;
  }
  std::cout.flush();
  return std::cout ? kExitOk : kExitFailed;
}

const TCliCommand kCliSortTables = {"sort-tables",
                                    "order the tables below a database node by foreign-key dependency",
                                    kSortTablesUsage, CliSortTables};
