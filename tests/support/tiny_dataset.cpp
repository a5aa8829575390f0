#include "support/tiny_dataset.hpp"

namespace norvex::testing {

std::shared_ptr<AnnData> tiny_dataset() {
  auto ad = std::make_shared<AnnData>();
  ad->obs.set_index({"cell-1", "cell-2", "cell-3", "cell-4"});
  ad->obs.set("condition", Column::categorical({"Normal", "Tumor", "Tumor", "Normal"}));
  ad->obs.set("celltype_major", Column::categorical({"T cells", "B cells", "T cells", "Myeloid"}));
  ad->obs.set("celltype_minor", Column::categorical({"CD4 T", "Naive B", "CD8 T", "Macrophage"}));
  ad->obs.set("celltype_subset", Column::categorical({"CD4 Tn", "Naive B", "CD8 Tem", "Macro-M2"}));
  ad->var.set_index({"CD3E", "MS4A1", "CD68"});
  UnsDict usr;
  usr.set("species", Array::scalar("Homo sapiens"));
  usr.set("tissue", Array::scalar("breast"));
  usr.set("tumor_id", Array::scalar(false));
  ad->uns.set("usr_param", std::move(usr));
  UnsDict params;
  params.set("CCI_DEG_BASE", Array::scalar("celltype_minor"));
  params.set("DEG_REF_GROUP", Array::scalar("Normal"));
  ad->uns.set("analysis_parameters", std::move(params));
  return ad;
}

}  // namespace norvex::testing
