#pragma once
// TQELDatabaseDataSet: what a database knows of a dataset bound to it. A
// dataset registers with its database (TQELDatabase::AddDataSet) and leaves
// again (RemoveDataSet) at the latest when it is freed; closing the database
// closes its datasets, queries first.

namespace qel {

class TQELDatabase;

class TQELDatabaseDataSet {
 public:
  // Queries close before every other dataset of their database.
  virtual bool IsQuery() const = 0;
  // Closes the dataset because its database closes.
  virtual void CloseForDatabase() = 0;
  // The database is being freed: the dataset must forget it.
  virtual void DatabaseFreed(TQELDatabase& /*database*/) {}

 protected:
  ~TQELDatabaseDataSet() = default;
};

}  // namespace qel
