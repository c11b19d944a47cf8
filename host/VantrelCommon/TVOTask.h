// Base of every task of the agent: an ACE task with a message queue and a
// thread group of its own.
#ifndef VANTREL_COMMON_TVOTASK_H
#define VANTREL_COMMON_TVOTASK_H

#include <ace/Synch_Traits.h>
#include <ace/Task_T.h>

namespace WindowsAgentCommon {

class TVOTask : public ACE_Task<ACE_MT_SYNCH> {
 public:
  TVOTask();
  ~TVOTask() override;
};

}  // namespace WindowsAgentCommon

#endif  // VANTREL_COMMON_TVOTASK_H
