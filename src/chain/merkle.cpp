#include "chain/merkle.h"

#include "chain/sha256.h"

ByteVector merkle_root(const std::vector<ByteVector>& leaves) {
  if (leaves.empty()) return ByteVector(32, 0);
  std::vector<ByteVector> level = leaves;
  while (level.size() > 1) {
    std::vector<ByteVector> parents;
    parents.reserve((level.size() + 1) / 2);
    for (std::size_t i = 0; i < level.size(); i += 2) {
      const ByteVector& left = level[i];
      const ByteVector& right = i + 1 < level.size() ? level[i + 1] : left;
      ByteVector pair = left;
      pair.insert(pair.end(), right.begin(), right.end());
      ByteVector parent(32);
      double_sha256(pair.data(), pair.size(), parent.data());
      parents.push_back(std::move(parent));
    }
    level = std::move(parents);
  }
  return level.front();
}
